import { spawn, execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { setTimeout as sleep } from 'node:timers/promises';

export const PACKAGE_DIR = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
export const REPO_DIR = path.resolve(PACKAGE_DIR, '..', '..');
export const FAKE = path.join(PACKAGE_DIR, 'test', 'fake-pcmtap.mjs');
export const REAL = process.env.PCMTAP_PATH || path.join(REPO_DIR, 'build', 'linux', 'pcmtap');
export const RATE = 48000;

// Sound tests need the server that tests/e2e/with_sound_server.py starts.
export const noServer = process.env.PULSE_SERVER ? false : 'no sound server (run under tests/e2e/with_sound_server.py)';

export const scratch = mkdtempSync(path.join(tmpdir(), 'pcmtap-node-'));
process.on('exit', () => rmSync(scratch, { recursive: true, force: true }));

export async function waitFor(predicate, ms, step = 20) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await predicate()) return true;
    await sleep(step);
  }
  return predicate();
}

// Running, and not a zombie left for a reaper that never comes.
export function alive(pid) {
  try {
    return !/^\d+ \(.*\) Z/.test(readFileSync(`/proc/${pid}/stat`, 'utf8'));
  } catch {
    return false;
  }
}

export function toneFile(frequency, seconds = 30) {
  const file = path.join(scratch, `tone-${frequency}.raw`);
  if (existsSync(file)) return file;
  const samples = new Int16Array(seconds * RATE * 2);
  for (let i = 0; i < seconds * RATE; i++) {
    samples[2 * i] = samples[2 * i + 1] = Math.round(8191 * Math.sin((2 * Math.PI * frequency * i) / RATE));
  }
  writeFileSync(file, samples);
  return file;
}

const players = [];

export function play(frequency, program = 'pacat') {
  const p = spawn(program, ['--playback', '--raw', '--format=s16le', '--rate=48000', '--channels=2',
    '--latency-msec=20', toneFile(frequency)], { stdio: 'ignore' });
  players.push(p);
  return p;
}

export function stopPlayers() {
  for (const p of players.splice(0)) p.kill();
}

export function playbackStreams() {
  const out = execFileSync('pactl', ['list', 'short', 'sink-inputs'], { encoding: 'utf8' });
  return out.split('\n').filter((line) => line.trim()).length;
}

export async function waitUntilPlaying(count) {
  return waitFor(() => playbackStreams() >= count, 5000, 50);
}

// Amplitude (0..32768) of one frequency in the left channel (Goertzel).
export function toneLevel(samples, frequency) {
  const k = 2 * Math.cos((2 * Math.PI * frequency) / RATE);
  let s1 = 0;
  let s2 = 0;
  const n = Math.floor(samples.length / 2);
  for (let i = 0; i < n; i++) {
    const s = samples[2 * i] + k * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return n ? (2 * Math.sqrt(Math.max(s1 * s1 + s2 * s2 - k * s1 * s2, 0))) / n : 0;
}

export function samplesOf(buffer) {
  const whole = buffer.length - (buffer.length % 4);
  const samples = new Int16Array(whole / 2);
  Buffer.from(samples.buffer).set(buffer.subarray(0, whole));
  return samples;
}

// Records every chunk with its arrival time.
export function record(tap) {
  const chunks = [];
  tap.on('data', (chunk) => chunks.push({ at: performance.now(), chunk }));
  return chunks;
}
