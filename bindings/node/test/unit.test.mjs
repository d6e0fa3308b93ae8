// The package against a stand-in pcmtap, for what the real one does not do
// on demand (split lines, CR LF, odd pieces of PCM, dying), and what never
// reaches a process at all.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { capture, listApps, PcmtapError } from '../index.mjs';
import { FAKE, alive, scratch } from './helpers.mjs';

const require = createRequire(import.meta.url);
const { errorFromStatus } = require('../lib/errors.js');
const { findBinary } = require('../lib/locate.js');
const { frameSplitter } = require('../lib/frames.js');
const { requestedFormat } = require('../lib/format.js');

const ARGS = path.join(scratch, 'args.json');

function fake(steps) {
  rmSync(ARGS, { force: true });
  Object.assign(process.env, { PCMTAP_PATH: FAKE, PCMTAP_FAKE_ARGS: ARGS, PCMTAP_FAKE_STEPS: JSON.stringify(steps) });
}

// Runs a capture to its 'close', collecting what it emitted.
function runToClose(tap) {
  const seen = { chunks: [], errors: [] };
  tap.on('data', (chunk) => seen.chunks.push(chunk));
  tap.on('error', (err) => seen.errors.push(err));
  return new Promise((resolve) => tap.on('close', (code, signal) => resolve({ ...seen, close: [code, signal] })));
}

describe('targets', () => {
  it('are refused before anything is started', () => {
    fake([{ stderr: 'READY 1\n' }]);
    for (const target of [undefined, null, 5, {}, { include: 0 }, { include: -1 }, { include: 1.5 },
      { include: 2 ** 32 }, { include: '5' }, { include: 5n }, { mix: Infinity }, { include: 5, exclude: 6 },
      { pid: 5 }, { hwnd: 0 }, { hwnd: 0n }, { hwnd: 2 ** 53 }, { hwnd: 2n ** 64n }, { hwnd: '0x10' },
      { app: '' }, { app: 'bin/game' }, { app: 'C:\\game.exe' }, { app: 'a\0b' }, { app: 'x'.repeat(261) }, { app: 5 },
      { app: 'game', mix: 5 }, { include: [] }, { exclude: [] }, { mix: [5] }, { include: [5, 0] }, { hwnd: [1, '2'] },
      { include: [5], exclude: 6 }, { app: 'game', exclude: [6] }, { hwnd: 1n, exclude: 6 },
      ...['C:player.exe', 'a*', 'a?', 'a"b', 'a<b>', 'a|b', 'a\x1fb', 'game.', 'game ', '\uD83C', 'a\uDFB5b']
        .map((bad) => ({ app: ['game', bad] }))]) {
      assert.throws(() => capture(target), TypeError, String(target && Object.entries(target)));
    }
    for (const options of [null, { frames: 'yes' }, { rate: 7999 }, { rate: 192001 }, { rate: 16000.5 }, { rate: '16000' },
      { rate: NaN }, { channels: 0 }, { channels: 3 }, { channels: '1' }, { format: 'F32LE' }, { format: 's24le' }]) {
      assert.throws(() => capture({ include: 5 }, options), TypeError, JSON.stringify(options));
    }
    assert.equal(existsSync(ARGS), false, 'a refused target started pcmtap');
  });

  it('become the exact command line', async () => {
    for (const [target, expected, options] of [
      [{ exclude: 4294967295 }, ['--exclude', '4294967295']],
      [{ mix: 77, include: undefined }, ['--mix', '77']],
      [{ hwnd: 2n ** 64n - 1n }, ['--hwnd', '18446744073709551615']],
      [{ app: 'é'.repeat(260) }, ['--app', 'é'.repeat(260)]],
      [{ app: ['\u{1F3B5} v1.2.exe', 'Teams'], include: [] }, ['--app', '\u{1F3B5} v1.2.exe', '--app', 'Teams']],
      [{ app: 'a', hwnd: [10n, 11], include: [5, 7] },
        ['--include', '5', '--add-include', '7', '--add-hwnd', '10', '--add-hwnd', '11', '--app', 'a']],
      [{ hwnd: [10, 11] }, ['--hwnd', '10', '--add-hwnd', '11']],
      [{ exclude: [5, 6, 7] }, ['--exclude', '5', '--add-exclude', '6', '--add-exclude', '7']],
      [{ mix: 7 }, ['--mix', '7', '--rate', '8000', '--channels', '1', '--format', 'f32le'],
        { rate: 8000, channels: 1, format: 'f32le' }],
      [{ app: 'a' }, ['--app', 'a', '--rate', '192000'], { rate: 192000, channels: undefined }],
      [{ include: 5 }, ['--include', '5', '--channels', '2', '--format', 's16le'], { channels: 2, format: 's16le' }],
    ]) {
      fake([{ stderr: 'READY 1\n' }, { exit: 0 }]);
      const { errors, close } = await runToClose(capture(target, options));
      assert.deepEqual(JSON.parse(readFileSync(ARGS, 'utf8')), expected);
      assert.deepEqual([errors, close], [[], [0, null]], 'an exit with 0 after READY is no error');
    }
  });
});

describe('status lines', () => {
  it('READY is read however the pipe splits it, in LF or CR LF', async () => {
    for (const [pieces, expected] of [
      [['REA', 'DY 4', '2\n'], { pid: 42 }],
      [['READY 7\r', '\n'], { pid: 7 }],
      [['a library warning\nREADY mix 3\r\n'], { sources: 3 }],
      [['READY app 2\n'], { sources: 2 }],
      [['READY include 2\n'], { sources: 2 }],
      [['READY exclude 3\r\n'], { sources: 3 }],
    ]) {
      fake([...pieces.flatMap((p) => [{ stderr: p }, { sleep: 30 }]), { exit: 0 }]);
      const tap = capture({ include: 9 });
      assert.deepEqual(await tap.ready, expected, JSON.stringify(pieces));
      await runToClose(tap);
    }
  });

  it('an ERROR before READY rejects ready, with no error event', async () => {
    fake([{ stderr: 'ERROR activate-' }, { sleep: 30 }, { stderr: 'result 0x80070002\r\n' }, { exit: 1 }]);
    const tap = capture({ include: 9 });
    const rejected = assert.rejects(tap.ready, (err) => err instanceof PcmtapError && err.name === 'PcmtapError' &&
      err.stage === 'activate-result' && err.hresult === 0x80070002 && /19041/.test(err.message));
    const { errors, close } = await runToClose(tap);
    await rejected;
    assert.deepEqual([errors, close], [[], [1, null]]);
  });

  it('an end without a status line is an error, with what pcmtap printed', async () => {
    fake([{ stderr: 'something broke\n' }, { exit: 3 }]);
    await assert.rejects(capture({ include: 9 }).ready,
      { stage: 'exit', code: 'PCMTAP_EXITED', hresult: null, message: /exit code 3\): something broke/ });

    fake([{ stderr: 'READY 9\n' }, { sleep: 30 }, { signal: 'SIGKILL' }]);
    const { errors, close } = await runToClose(capture({ include: 9 }));
    assert.deepEqual(errors.map((e) => e.code), ['PCMTAP_EXITED']);
    assert.deepEqual(close, [null, 'SIGKILL']);
  });

  it('codes: named, or by their hex value, with what to do', () => {
    for (const [stage, hresult, code, advice] of [
      ['activate', 0x80070002, 'ERROR_FILE_NOT_FOUND', /build 19041/],
      ['initialize', 0x80070002, 'ERROR_FILE_NOT_FOUND', /^(?!.*19041)/],
      ['initialize', 0x88890008, 'HRESULT_0x88890008', /no advice/],
      ['start', 0x80070020, 'HRESULT_0x80070020', /Win32 error 32/],
      ['output', 0x80070070, 'ERROR_DISK_FULL', /is full/],
      ['output', 0x80070032, 'HRESULT_0x80070032', /is a console/],
      ['start', 0x80070032, 'HRESULT_0x80070032', /Win32 error 50/],
    ]) {
      const err = errorFromStatus(stage, hresult);
      assert.deepEqual([err.stage, err.hresult, err.code], [stage, hresult, code]);
      assert.match(err.message, advice);
    }
    assert.equal(require('../index.js').PcmtapError, PcmtapError, 'one class for both entries');
  });
});

it('listApps reads an app a line, and fails with a PcmtapError when pcmtap does or prints no app', async () => {
  const APP = { pid: 7, parent: null, name: 'game.exe', path: null, active: true, window: 'Game', host: null };
  const CHILD = { ...APP, pid: 8, parent: 7, name: 'msedgewebview2.exe', path: 'C:\\g\\w.exe', active: false, host: 'game.exe' };
  const line = (app) => JSON.stringify(app) + '\r\n';
  const { host, ...older } = APP; // a pcmtap from before hosts
  const text = line({ ...older, later: 1 }) + line(CHILD);
  fake([{ stdout: text.slice(0, 20) }, { sleep: 30 }, { stdout: text.slice(20) }, { exit: 0 }]);
  assert.deepEqual(await listApps(), [APP, CHILD]);
  fake([{ sleep: 100 }, { stdout: line(APP) }, { exit: 0 }]);
  assert.deepEqual(await listApps({ timeout: 2 ** 32 }), [APP], 'a timeout beyond what a timer holds waits');
  assert.deepEqual(JSON.parse(readFileSync(ARGS, 'utf8')), ['--list']);
  for (const [steps, expected, timeout] of [
    [[{ stderr: 'ERROR coinit 0x80004005\n' }, { exit: 1 }], { stage: 'coinit', hresult: 0x80004005 }],
    [[{ stdout: line(APP) }, { stderr: 'no server\n' }, { exit: 2 }], { stage: 'exit', message: /exit code 2: no server/ }],
    [[{ stdout: line(APP) }, { hang: true }], { stage: 'list', code: 'ERROR_TIMEOUT', message: /within 1.5 s/ }, 1500],
    ...['Segmentation fault', line({ ...APP, active: 1 }), line({ ...APP, pid: '7' }), line({ ...APP, window: undefined }),
      line({ ...APP, host: 5 })]
      .map((bad) => [[{ stdout: line(APP) + bad }, { exit: 0 }], { stage: 'list', code: 'PCMTAP_BAD_OUTPUT' }]),
  ]) {
    fake(steps);
    await assert.rejects(listApps({ timeout }), { name: 'PcmtapError', ...expected }, JSON.stringify(steps));
  }
  rmSync(ARGS);
  for (const options of [null, { timeout: 0 }, { timeout: NaN }, { timeout: '5' }]) await assert.rejects(listApps(options), TypeError);
  assert.equal(existsSync(ARGS), false, 'a refused option started pcmtap');
});

describe('frames', () => {
  it('are never partial, however the bytes are split', () => {
    const bytes = Buffer.from(Array.from({ length: 64 }, (_, i) => (i * 37) & 0xff));
    for (const [options, Samples] of [[{}, Int16Array], [{ channels: 1 }, Int16Array],
      [{ format: 'f32le', channels: 1 }, Float32Array], [{ format: 'f32le' }, Float32Array]]) {
      const { format } = requestedFormat(options);
      for (let first = 1; first <= 9; first++) {
        for (let rest = 1; rest <= 7; rest++) {
          const take = frameSplitter(format);
          const out = [];
          for (let at = 0, size = first; at < bytes.length; at += size, size = rest) {
            const frames = take(bytes.subarray(at, at + size));
            if (frames) out.push(frames);
          }
          assert.ok(out.every((f) => f instanceof Samples && f.byteLength % format.bytesPerFrame === 0 &&
            f.length % format.channels === 0 && f.byteOffset === 0 && f.buffer.byteLength === f.byteLength));
          assert.deepEqual(Buffer.concat(out.map((f) => Buffer.from(f.buffer))), bytes,
            `${JSON.stringify(options)}: pieces of ${first} then ${rest}`);
        }
      }
    }
  });

  it('carry a frame that the pipe split over to the next chunk', async () => {
    const bytes = Array.from({ length: 4 * 12 + 1 }, (_, i) => i);
    const steps = [{ stderr: 'READY 9\n' }];
    for (let at = 0, size = 3; at < bytes.length; at += size, size = 8 - size) {
      steps.push({ stdout: bytes.slice(at, at + size) }, { sleep: 15 });
    }
    for (const [format, Samples, frameBytes] of [['s16le', Int16Array, 4], ['f32le', Float32Array, 8]]) {
      fake([...steps, { exit: 0 }]);
      const tap = capture({ include: 9 }, { frames: true, format });
      const { chunks } = await runToClose(tap);
      assert.ok(chunks.length > 1, 'the pieces came in one read: nothing was split');
      assert.ok(chunks.every((c) => c instanceof Samples && c.byteLength % frameBytes === 0), format);
      assert.deepEqual([...Buffer.concat(chunks.map((c) => Buffer.from(c.buffer)))], bytes.slice(0, 48));
      assert.equal(tap.format.bytesPerFrame, frameBytes);
    }
  });
});

it('leaving a for await stops pcmtap', async () => {
  fake([{ stderr: 'READY 9\n' }, { stdout: [0, 0, 0, 0] }, { hang: true }]);
  const tap = capture({ include: 9 });
  for await (const chunk of tap) if (chunk.length) break;
  // Node destroys the stream with an AbortError as the loop is left.
  const close = await new Promise((resolve) => tap.on('close', (...args) => resolve(args)));
  assert.deepEqual(close, [null, 'SIGTERM']);
  assert.equal(alive(tap.pid), false);
});

describe('binary lookup', () => {
  const dir = path.join('/app', 'node_modules', 'pcmtap');
  const only = (file) => (candidate) => candidate === file;

  it('takes PCMTAP_PATH, else the prebuilt binary for the platform, and names what it tried', () => {
    assert.equal(findBinary({ env: { PCMTAP_PATH: '/x/pcmtap' }, usable: only('/x/pcmtap') }), '/x/pcmtap');
    assert.throws(() => findBinary({ env: { PCMTAP_PATH: '/x/pcmtap' }, usable: () => false }),
      { name: 'PcmtapError', stage: 'spawn', code: 'PCMTAP_NOT_FOUND', message: /tried \/x\/pcmtap\b/ });
    const win = path.join(dir, 'prebuilds', 'win32-x64', 'pcmtap.exe');
    assert.equal(findBinary({ env: {}, platform: 'win32', arch: 'x64', packageDir: dir, usable: only(win) }), win);
    assert.throws(() => findBinary({ env: {}, platform: 'darwin', arch: 'arm64', packageDir: dir, usable: () => false }),
      { message: /prebuilds.darwin-arm64.pcmtap\b.*no pcmtap for darwin-arm64/ });
    const file = path.join(scratch, 'not-executable');
    writeFileSync(file, '#!/bin/sh\n', { mode: 0o644 });
    process.env.PCMTAP_PATH = file;
    assert.throws(() => capture({ include: 1 }), { code: 'PCMTAP_NOT_FOUND' });
  });

  it('looks beside app.asar, never inside it', () => {
    for (const sep of ['/', '\\']) {
      const asar = ['C:', 'App', 'resources', 'app.asar', 'node_modules', 'pcmtap'].join(sep);
      const tried = [];
      const usable = (f) => tried.push(f) && f.includes(`${sep}app.asar.unpacked${sep}`);
      assert.match(findBinary({ env: {}, platform: 'win32', arch: 'x64', packageDir: asar, usable }), /app\.asar\.unpacked/);
      assert.ok(tried.every((f) => f.includes('app.asar.unpacked')), tried.join());
      assert.throws(() => findBinary({ env: {}, platform: 'win32', arch: 'x64', packageDir: asar, usable: () => false }),
        { message: /app\.asar\.unpacked.*asarUnpack/ });
    }
  });
});
