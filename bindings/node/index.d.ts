/// <reference types="node" />
import { Readable } from 'node:stream';

/** One value, or a list of them. */
export type OneOrMore<T> = T | readonly T[];

/** The trees to capture, mixed: processes with their descendants, windows' processes, every tree of an executable. */
interface Taken {
  include?: OneOrMore<number>;
  hwnd?: OneOrMore<number | bigint>;
  app?: OneOrMore<string>;
  exclude?: never;
  mix?: never;
}

/**
 * What to capture: one or more process trees, windows' processes and
 * executables, mixed; everything but one or more process trees; or the
 * filtered mix. Taking trees and leaving trees out do not combine.
 */
export type Target =
  | (Taken & ({ include: OneOrMore<number> } | { hwnd: OneOrMore<number | bigint> } | { app: OneOrMore<string> }))
  | { exclude: OneOrMore<number>; include?: never; hwnd?: never; app?: never; mix?: never }
  | { mix: number; include?: never; hwnd?: never; app?: never; exclude?: never };

/** Samples as signed 16-bit integers, or as 32-bit floats (full scale ±1, not clamped), little-endian. */
export type SampleFormat = 's16le' | 'f32le';

export interface CaptureOptions {
  /** Yield whole frames only, as interleaved samples (left, right, left, ...): Int16Array, or Float32Array for 'f32le'. */
  frames?: boolean;
  /** Frames a second, an integer from 8000 to 192000 (48000 when not given). */
  rate?: number;
  /** 1 (the platform's own downmix) or 2 (when not given). */
  channels?: 1 | 2;
  /** The sample type ('s16le' when not given). */
  format?: SampleFormat;
}

/** The READY line: the pid captured (one include, exclude or hwnd), or the number of sources in the mix (mix, app, several targets, several excludes). */
export type ReadyInfo = { pid: number } | { sources: number };

/** The format of a capture's PCM: what it asked pcmtap for. */
export interface Format {
  readonly sampleRate: number;
  readonly channels: 1 | 2;
  readonly sampleFormat: SampleFormat;
  readonly bitsPerSample: 16 | 32;
  readonly bytesPerFrame: number;
}

/** The format of a capture that asks for none. */
export interface DefaultFormat extends Format {
  readonly sampleRate: 48000;
  readonly channels: 2;
  readonly sampleFormat: 's16le';
  readonly bitsPerSample: 16;
  readonly bytesPerFrame: 4;
}

export declare const FORMAT: DefaultFormat;

/** The steps pcmtap reports ('sessions': listApps() found no audio service to ask), and this package's own: 'spawn' (no binary, or it could not start), 'exit' (it ended without a status line) and 'list' (listApps() got no answer, or one it could not read). */
export type Stage =
  | 'args'
  | 'coinit'
  | 'activate'
  | 'activate-result'
  | 'initialize'
  | 'event'
  | 'service'
  | 'start'
  | 'buffer'
  | 'output'
  | 'sessions'
  | 'spawn'
  | 'exit'
  | 'list';

export declare class PcmtapError extends Error {
  readonly name: 'PcmtapError';
  /** The step that failed, as pcmtap names it. */
  readonly stage: Stage | (string & {});
  /** The result code as an unsigned 32-bit number, or null for the 'spawn' and 'exit' stages and for 'list' but its ERROR_TIMEOUT. */
  readonly hresult: number | null;
  /** 'E_INVALIDARG', 'AUDCLNT_E_DEVICE_INVALIDATED', ..., 'HRESULT_0x88890008' for others; 'PCMTAP_NOT_FOUND', 'PCMTAP_EXITED', 'PCMTAP_STOPPED', 'PCMTAP_BAD_OUTPUT' or a system code such as 'EACCES' for the package's own stages. */
  readonly code: string;
}

export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
}

/** One running pcmtap: a stream of PCM (Buffer chunks, or Int16Array or Float32Array frames with `frames: true`). */
export declare class Capture<Chunk extends Buffer | Int16Array | Float32Array = Buffer> extends Readable {
  private constructor();
  /** pcmtap's process id (undefined if it could not be started). */
  readonly pid: number | undefined;
  readonly format: Format;
  /** Resolves at READY; rejects with a PcmtapError if an ERROR line or the end of pcmtap comes first. */
  readonly ready: Promise<ReadyInfo>;
  /** Ends pcmtap (closes its stdout, terminates it after a second) and resolves once it has exited. */
  stop(): Promise<ExitInfo>;

  read(size?: number): Chunk | null;
  [Symbol.asyncIterator](): AsyncIterableIterator<Chunk>;

  /** 'close' carries pcmtap's exit code and signal. */
  on(event: 'close', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  on(event: 'data', listener: (chunk: Chunk) => void): this;
  /** An ERROR line after READY (stage 'buffer' or 'output'), or pcmtap ending on its own without one. */
  on(event: 'error', listener: (err: PcmtapError) => void): this;
  on(event: 'end' | 'pause' | 'readable' | 'resume', listener: () => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once(event: 'close', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  once(event: 'data', listener: (chunk: Chunk) => void): this;
  once(event: 'error', listener: (err: PcmtapError) => void): this;
  once(event: 'end' | 'pause' | 'readable' | 'resume', listener: () => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
}

/**
 * Starts pcmtap on a target. Throws a TypeError for a target that is not
 * valid (a bad pid, handle or name, an empty list alone, exclude with
 * include, hwnd or app) or an option out of range, and a PcmtapError
 * (stage 'spawn', code 'PCMTAP_NOT_FOUND') when no binary is found.
 */
export declare function capture(target: Target, options: CaptureOptions & { frames: true; format: 'f32le' }): Capture<Float32Array>;
export declare function capture(target: Target, options: CaptureOptions & { frames: true; format?: 's16le' }): Capture<Int16Array>;
export declare function capture(target: Target, options?: CaptureOptions & { frames?: false }): Capture<Buffer>;
export declare function capture(target: Target, options?: CaptureOptions): Capture<Buffer | Int16Array | Float32Array>;

/** A process that has an audio session now. */
export interface App {
  pid: number;
  /** Its parent's pid, or null. */
  parent: number | null;
  /** Its executable's file name: what capture({ app }) takes (for a shared host, take `host` instead). */
  name: string;
  /** Its executable's full path, or null when it cannot be read. */
  path: string | null;
  /** Whether it is playing now. */
  active: boolean;
  /** The title of its window, or else of its nearest ancestor's that has one, or null. */
  window: string | null;
  /** For a shared host (a WebView2 or browser helper), the file name of the app it serves, or null. */
  host: string | null;
}

export interface ListOptions {
  /** How long pcmtap may take to answer, in milliseconds (10000 by default; Infinity: no limit). */
  timeout?: number;
}

/**
 * The processes that have an audio session now, those playing first, then by
 * name. Rejects with a PcmtapError when pcmtap fails (stage 'sessions': no
 * audio service), ends other than with 0, prints a line that is no app record
 * (stage 'list', code 'PCMTAP_BAD_OUTPUT') or gives no answer within the
 * timeout (stage 'list', code 'ERROR_TIMEOUT').
 */
export declare function listApps(options?: ListOptions): Promise<App[]>;
