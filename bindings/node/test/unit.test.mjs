// The package against a stand-in pcmtap: what the real one does not do on
// demand (split lines, CR LF, odd pieces of PCM, dying) and what never
// reaches a process at all.
import { describe, it, beforeEach, after } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { capture, PcmtapError } from '../index.mjs';
import { createRequire } from 'node:module';
import { FAKE, alive, scratch } from './helpers.mjs';

const require = createRequire(import.meta.url);
const { errorFromStatus } = require('../lib/errors.js');
const { findBinary } = require('../lib/locate.js');
const { frameSplitter } = require('../lib/frames.js');
const cjs = require('../index.js');

const ARGS = path.join(scratch, 'args.json');

function fake(steps) {
  process.env.PCMTAP_PATH = FAKE;
  process.env.PCMTAP_FAKE_ARGS = ARGS;
  process.env.PCMTAP_FAKE_STEPS = JSON.stringify(steps);
}

// Runs a capture to its 'close', collecting what it emitted.
async function runToClose(tap) {
  const seen = { chunks: [], errors: [], close: null };
  tap.on('data', (chunk) => seen.chunks.push(chunk));
  tap.on('error', (err) => seen.errors.push(err));
  [seen.close] = [await new Promise((resolve) => tap.on('close', (code, signal) => resolve({ code, signal })))];
  return seen;
}

after(() => rmSync(scratch, { recursive: true, force: true }));

describe('targets', () => {
  beforeEach(() => rmSync(ARGS, { force: true }));

  it('are refused before anything is started', () => {
    fake([{ stderr: 'READY 1\n' }]);
    const refused = [
      undefined, null, 5, 'include 5', {}, { include: 0 }, { include: -1 }, { include: 1.5 },
      { include: 2 ** 32 }, { include: '5' }, { include: 5n }, { include: NaN }, { exclude: 0 },
      { mix: Infinity }, { include: 5, exclude: 6 }, { pid: 5 }, { include: 5, frames: true },
      { hwnd: 0 }, { hwnd: -1 }, { hwnd: 0n }, { hwnd: 2 ** 53 }, { hwnd: 2n ** 64n }, { hwnd: '0x10' },
    ];
    for (const target of refused) {
      assert.throws(() => capture(target), TypeError, `target ${String(target && JSON.stringify(target, (k, v) => (typeof v === 'bigint' ? `${v}n` : v)))}`);
    }
    for (const options of [null, 'frames', { frames: 'yes' }, { frames: 1 }]) {
      assert.throws(() => capture({ include: 5 }, options), TypeError, JSON.stringify(options));
    }
    assert.equal(existsSync(ARGS), false, 'a refused target started pcmtap');
  });

  it('become the exact command line', async () => {
    const cases = [
      [{ include: 1 }, ['--include', '1']],
      [{ exclude: 4294967295 }, ['--exclude', '4294967295']],
      [{ mix: 77, include: undefined }, ['--mix', '77']],
      [{ hwnd: 66 }, ['--hwnd', '66']],
      [{ hwnd: 2n ** 64n - 1n }, ['--hwnd', '18446744073709551615']],
    ];
    for (const [target, expected] of cases) {
      fake([{ stderr: 'READY 1\n' }, { exit: 0 }]);
      await runToClose(capture(target));
      assert.deepEqual(JSON.parse(readFileSync(ARGS, 'utf8')), expected);
    }
  });
});

describe('status lines', () => {
  it('READY is read however the pipe splits it, in LF or CR LF', async () => {
    for (const [pieces, expected] of [
      [['REA', 'DY 4', '2\n'], { pid: 42 }],
      [['READY 7\r', '\n'], { pid: 7 }],
      [['some library warning\nREADY mix 3\r\n'], { sources: 3 }],
      [['READY mix 0\n'], { sources: 0 }],
    ]) {
      fake([...pieces.flatMap((p) => [{ stderr: p }, { sleep: 30 }]), { exit: 0 }]);
      const tap = capture({ include: 9 });
      assert.deepEqual(await tap.ready, expected, JSON.stringify(pieces));
      await runToClose(tap);
    }
  });

  it('an ERROR before READY rejects ready, with no error event, and close carries the exit code', async () => {
    fake([{ stderr: 'ERROR activate-' }, { sleep: 30 }, { stderr: 'result 0x80070002\r\n' }, { exit: 1 }]);
    const tap = capture({ include: 9 });
    const rejected = assert.rejects(tap.ready, (err) => {
      assert.ok(err instanceof PcmtapError && err instanceof Error);
      assert.equal(err.name, 'PcmtapError');
      assert.equal(err.stage, 'activate-result');
      assert.equal(err.hresult, 0x80070002);
      assert.equal(err.code, 'ERROR_FILE_NOT_FOUND');
      assert.match(err.message, /19041/);
      return true;
    });
    const seen = await runToClose(tap);
    await rejected;
    assert.deepEqual(seen.errors, []);
    assert.deepEqual(seen.close, { code: 1, signal: null });
  });

  it('an ERROR after READY is one error event, after the PCM that came before it', async () => {
    fake([{ stderr: 'READY 9\n' }, { stdout: [1, 2, 3, 4, 5, 6, 7, 8] }, { sleep: 30 },
      { stderr: 'ERROR buffer 0x88890004\n' }, { exit: 1 }]);
    const tap = capture({ include: 9 });
    assert.deepEqual(await tap.ready, { pid: 9 });
    const seen = await runToClose(tap);
    assert.equal(seen.errors.length, 1);
    assert.equal(seen.errors[0].stage, 'buffer');
    assert.equal(seen.errors[0].code, 'AUDCLNT_E_DEVICE_INVALIDATED');
    assert.deepEqual(Buffer.concat(seen.chunks), Buffer.from([1, 2, 3, 4, 5, 6, 7, 8]));
    assert.deepEqual(seen.close, { code: 1, signal: null });
  });

  it('an end without a status line is an error, with what pcmtap printed', async () => {
    fake([{ stderr: 'something broke\n' }, { exit: 3 }]);
    const early = capture({ include: 9 });
    await assert.rejects(early.ready, { name: 'PcmtapError', stage: 'exit', code: 'PCMTAP_EXITED', hresult: null, message: /exit code 3\): something broke/ });

    fake([{ stderr: 'READY 9\n' }, { sleep: 30 }, { signal: 'SIGKILL' }]);
    const late = capture({ include: 9 });
    await late.ready;
    const seen = await runToClose(late);
    assert.equal(seen.errors.length, 1);
    assert.equal(seen.errors[0].code, 'PCMTAP_EXITED');
    assert.match(seen.errors[0].message, /SIGKILL/);
    assert.deepEqual(seen.close, { code: null, signal: 'SIGKILL' });
  });

  it('pcmtap ending with 0 after READY ends the stream without error', async () => {
    fake([{ stderr: 'READY 9\n' }, { stdout: [1, 2, 3, 4] }, { exit: 0 }]);
    const seen = await runToClose(capture({ include: 9 }));
    assert.deepEqual(seen.errors, []);
    assert.deepEqual(seen.close, { code: 0, signal: null });
  });
});

describe('error codes', () => {
  it('name the codes users meet and say what to do', () => {
    const table = [
      ['args', 0x80070057, 'E_INVALIDARG', /command line/],
      ['activate', 0x80070002, 'ERROR_FILE_NOT_FOUND', /build 19041.*Wine/],
      ['initialize', 0x80070002, 'ERROR_FILE_NOT_FOUND', /^(?!.*19041)/],
      ['buffer', 0x88890004, 'AUDCLNT_E_DEVICE_INVALIDATED', /start the capture again/],
      ['buffer', 0x88890010, 'AUDCLNT_E_SERVICE_NOT_RUNNING', /audio service/],
      ['activate-result', 0x800705b4, 'ERROR_TIMEOUT', /in time/],
      ['activate-result', 0x80070005, 'E_ACCESSDENIED', /denied/],
      ['initialize', 0x88890008, 'HRESULT_0x88890008', /no advice/],
      ['start', 0x80070020, 'HRESULT_0x80070020', /Win32 error 32/],
      ['coinit', 0x00000001, 'HRESULT_0x00000001', /./],
    ];
    for (const [stage, hresult, code, advice] of table) {
      const err = errorFromStatus(stage, hresult);
      assert.equal(err.code, code);
      assert.equal(err.hresult, hresult);
      assert.equal(err.stage, stage);
      assert.ok(err.message.includes(`${stage} with 0x${hresult.toString(16).padStart(8, '0')}`), err.message);
      assert.match(err.message, advice);
      assert.equal(String(err).split(':')[0], 'PcmtapError');
    }
  });

  it('are the same class from both entries', () => {
    assert.equal(cjs.PcmtapError, PcmtapError);
    assert.equal(cjs.capture, capture);
  });
});

describe('frames', () => {
  it('never yield a partial frame, however the bytes are split', () => {
    const bytes = Buffer.from(Array.from({ length: 64 }, (_, i) => (i * 37) & 0xff));
    for (let first = 1; first <= 9; first++) {
      for (let rest = 1; rest <= 7; rest++) {
        const take = frameSplitter();
        const out = [];
        for (let at = 0, size = first; at < bytes.length; at += size, size = rest) {
          const frames = take(bytes.subarray(at, at + size));
          if (frames) out.push(frames);
        }
        for (const f of out) {
          assert.ok(f instanceof Int16Array && f.length % 2 === 0 && f.length > 0);
          assert.equal(f.byteOffset, 0);
          assert.equal(f.buffer.byteLength, f.byteLength);
        }
        assert.deepEqual(Buffer.concat(out.map((f) => Buffer.from(f.buffer))), bytes, `pieces of ${first} then ${rest}`);
      }
    }
  });

  it('carry a frame split by the pipe to the next chunk', async () => {
    const bytes = Array.from({ length: 4 * 12 + 1 }, (_, i) => i);
    const steps = [{ stderr: 'READY 9\n' }];
    for (let at = 0, size = 3; at < bytes.length; at += size, size = size === 3 ? 5 : 3) {
      steps.push({ stdout: bytes.slice(at, at + size) }, { sleep: 15 });
    }
    fake([...steps, { exit: 0 }]);
    const tap = capture({ include: 9 }, { frames: true });
    const seen = await runToClose(tap);
    assert.ok(seen.chunks.length > 1, 'the pieces came in one read: nothing was split');
    for (const chunk of seen.chunks) assert.ok(chunk instanceof Int16Array && chunk.length % 2 === 0);
    const got = Buffer.concat(seen.chunks.map((c) => Buffer.from(c.buffer, c.byteOffset, c.byteLength)));
    assert.deepEqual([...got], bytes.slice(0, 48), 'the last, partial frame is dropped');
  });
});

describe('stop', () => {
  it('terminates a pcmtap that writes nothing, and rejects a ready that never came', async () => {
    fake([{ hang: true }]);
    const tap = capture({ include: 9 });
    const started = Date.now();
    const exit = await tap.stop();
    assert.deepEqual(exit, { code: null, signal: 'SIGTERM' });
    assert.ok(Date.now() - started >= 900, 'ended before its grace second');
    assert.equal(alive(tap.pid), false);
    await assert.rejects(tap.ready, { code: 'PCMTAP_STOPPED', stage: 'exit' });
    assert.equal(tap.stop(), tap.stop(), 'stop() is one promise');
  });

  it('follows destroy() and breaking out of a for await', async () => {
    fake([{ stderr: 'READY 9\n' }, { stdout: [0, 0, 0, 0] }, { hang: true }]);
    const tap = capture({ include: 9 });
    for await (const chunk of tap) {
      assert.equal(chunk.length, 4);
      break;
    }
    // Leaving the loop destroys the stream as Node does it, with an AbortError.
    const [code, signal] = await new Promise((resolve) => tap.on('close', (...args) => resolve(args)));
    assert.equal(code, null);
    assert.equal(signal, 'SIGTERM');
    assert.equal(alive(tap.pid), false);
  });
});

describe('binary lookup', () => {
  const none = () => false;
  const seenFiles = [];
  const only = (file) => (candidate) => (seenFiles.push(candidate), candidate === file);

  it('takes PCMTAP_PATH, and names it when it is not there', () => {
    assert.equal(findBinary({ env: { PCMTAP_PATH: '/x/pcmtap' }, usable: only('/x/pcmtap') }), '/x/pcmtap');
    assert.throws(() => findBinary({ env: { PCMTAP_PATH: '/x/pcmtap' }, usable: none }),
      { name: 'PcmtapError', stage: 'spawn', code: 'PCMTAP_NOT_FOUND', message: /tried \/x\/pcmtap\b.*PCMTAP_PATH/ });
  });

  it("finds the package's own binary for the platform", () => {
    const dir = path.join('/app', 'node_modules', 'pcmtap');
    const linux = path.join(dir, 'prebuilds', 'linux-x64', 'pcmtap');
    assert.equal(findBinary({ env: {}, platform: 'linux', arch: 'x64', packageDir: dir, usable: only(linux) }), linux);
    const win = path.join(dir, 'prebuilds', 'win32-x64', 'pcmtap.exe');
    assert.equal(findBinary({ env: {}, platform: 'win32', arch: 'x64', packageDir: dir, usable: only(win) }), win);
    assert.throws(() => findBinary({ env: {}, platform: 'darwin', arch: 'arm64', packageDir: dir, usable: none }),
      { code: 'PCMTAP_NOT_FOUND', message: /prebuilds.darwin-arm64.pcmtap\b.*no pcmtap for darwin-arm64/ });
  });

  it('looks beside app.asar, never inside it', () => {
    for (const sep of ['/', '\\']) {
      const dir = ['C:', 'App', 'resources', 'app.asar', 'node_modules', 'pcmtap'].join(sep);
      const unpacked = dir.replace('app.asar', 'app.asar.unpacked');
      seenFiles.length = 0;
      const found = findBinary({ env: {}, platform: 'win32', arch: 'x64', packageDir: dir, usable: (f) => (seenFiles.push(f), f.startsWith(unpacked)) });
      assert.ok(found.startsWith(unpacked), found);
      assert.ok(seenFiles.every((f) => f.includes('app.asar.unpacked')), seenFiles.join());
      assert.throws(() => findBinary({ env: {}, platform: 'win32', arch: 'x64', packageDir: dir, usable: none }),
        { message: /app\.asar\.unpacked.*asarUnpack/ });
    }
  });

  it('refuses a file that cannot be executed', () => {
    const file = path.join(scratch, 'not-executable');
    writeFileSync(file, '#!/bin/sh\n', { mode: 0o644 });
    process.env.PCMTAP_PATH = file;
    assert.throws(() => capture({ include: 1 }), { code: 'PCMTAP_NOT_FOUND' });
  });
});
