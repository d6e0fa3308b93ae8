// Compiled, never run: how the package is used from ESM, and what the
// declarations must refuse.
import { capture, listApps, PcmtapError, FORMAT, type App, type ReadyInfo } from 'pcmtap';
import pcmtap from 'pcmtap';

const tap = capture({ include: 1234 });
const info: ReadyInfo = await tap.ready;
if ('pid' in info) info.pid.toFixed();
else info.sources.toFixed();
for await (const chunk of tap) chunk.readInt16LE(0);
tap.on('close', (code, signal) => { code?.toFixed(); signal?.toLowerCase(); });
tap.on('error', (err) => { err.stage.toUpperCase(); err.hresult?.toString(16); err.code.toLowerCase(); });
const exit = await tap.stop();
exit.code?.toFixed();

const frames = capture({ mix: 1 }, { frames: true });
for await (const chunk of frames) {
  const left: number = chunk[0];
  // @ts-expect-error frames are Int16Array, not Buffer
  chunk.readInt16LE(0);
  void left;
}
const speech = capture({ include: 1 }, { rate: 16000, channels: 1, format: 'f32le', frames: true });
for await (const chunk of speech) {
  const first: number = chunk[0];
  const floats: Float32Array = chunk;
  void first; void floats;
}
const bytes: number = speech.format.bytesPerFrame;
void bytes;
capture({ hwnd: 0x10n });
capture({ hwnd: 66 });
const apps: App[] = await listApps({ timeout: 2000 });
capture({ app: apps.map((a) => a.host ?? a.name), include: [1, 2], hwnd: 0x10n });
capture({ exclude: [1, 2] });
const rate: 48000 = FORMAT.sampleRate;
const rate2: number = pcmtap.capture({ exclude: 1 }).format.bytesPerFrame;
void rate; void rate2;

try {
  await capture({ exclude: 5 }).ready;
} catch (err) {
  if (err instanceof PcmtapError && err.name === 'PcmtapError') err.stage.length;
}

// @ts-expect-error a pid is a number
capture({ include: '1234' });
// @ts-expect-error a pid is not a bigint
capture({ include: 1234n });
// @ts-expect-error no such mode
capture({ capture: 1234 });
// @ts-expect-error a target is needed
capture();
// @ts-expect-error an app is named, not numbered
capture({ app: 42 });
// @ts-expect-error taking trees and leaving trees out do not combine
capture({ include: [1], exclude: 2 });
// @ts-expect-error the mix leaves out one tree
capture({ mix: [1, 2] });
// @ts-expect-error the timeout is a number of milliseconds
listApps({ timeout: '1s' });
// @ts-expect-error frames is a boolean
capture({ include: 1 }, { frames: 'yes' });
// @ts-expect-error one or two channels
capture({ include: 1 }, { channels: 6 });
// @ts-expect-error no such sample format
capture({ include: 1 }, { format: 's24le' });
// @ts-expect-error float frames are no Int16Array
const wrong: Int16Array | null = capture({ include: 1 }, { frames: true, format: 'f32le' }).read();
// @ts-expect-error pcmtap's default format is fixed
FORMAT.sampleRate = 44100;
void wrong;
