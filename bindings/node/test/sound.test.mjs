// The package against the real pcmtap and a real (headless) sound server.
import { describe, it, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { copyFileSync } from 'node:fs';
import { createInterface } from 'node:readline';
import { once } from 'node:events';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { capture, listApps } from '../index.mjs';
import {
  PACKAGE_DIR, REAL, RATE, alive, noServer, play, record, samplesOf, scratch, stopPlayers, toneLevel,
  waitFor, waitUntilPlaying,
} from './helpers.mjs';

const PRESENT = 2000; // a tone at a quarter of full scale measures about 8192
const ABSENT = 200;

const running = [];
function start(target, options) {
  const tap = capture(target, options);
  running.push(tap);
  return tap;
}

// A target that plays nothing: pcmtap reaches READY on it and writes nothing.
function silentProcess() {
  const p = spawn('sleep', ['60'], { stdio: 'ignore' });
  running.push({ stop: async () => p.kill() });
  return p;
}

describe('with real sound', { skip: noServer }, () => {
  before(() => {
    process.env.PCMTAP_PATH = REAL;
  });
  afterEach(async () => {
    await Promise.all(running.splice(0).map((tap) => tap.stop()));
    stopPlayers();
  });

  it('a tone captured by include arrives with its frequency, at the rate and frame size asked for', async (t) => {
    const a = play(440);
    play(1000);
    assert.ok(await waitUntilPlaying(2), 'the players did not start');
    for (const [options, rate, frameBytes] of [[{}, RATE, 4], [{ rate: 16000, channels: 1 }, 16000, 2]]) {
      const tap = start({ include: a.pid }, options);
      const chunks = record(tap);
      assert.deepEqual(await tap.ready, { pid: a.pid });
      assert.deepEqual([tap.format.sampleRate, tap.format.bytesPerFrame], [rate, frameBytes]);
      await sleep(500); // every stream has joined
      const from = performance.now();
      await sleep(3000);
      const to = performance.now();
      const window = chunks.filter((c) => c.at >= from && c.at < to).map((c) => c.chunk);
      const pcm = Buffer.concat(window);
      const measured = pcm.length / frameBytes / ((to - from) / 1000);
      t.diagnostic(`${JSON.stringify(options)}: ${measured.toFixed(0)} frames a second over 3 s`);
      assert.ok(Math.abs(measured - rate) < rate * 0.05, `${measured.toFixed(0)} frames a second`);
      // toneLevel reads the left of stereo at 48 kHz: a frequency scaled so, for any rate and channel count
      const level = (frequency) => toneLevel(samplesOf(pcm), (frequency * 2 * RATE) / (rate * (frameBytes / 2)));
      assert.ok(level(440) > PRESENT, `440 Hz at ${level(440).toFixed(0)}`);
      assert.ok(level(1000) < ABSENT, `1000 Hz at ${level(1000).toFixed(0)}`);
      await tap.stop();
    }
  });

  it('mix mode reports its sources', async () => {
    play(440);
    assert.ok(await waitUntilPlaying(1));
    const tap = start({ mix: silentProcess().pid }); // not this test, whose child the player is
    tap.resume();
    const { sources } = await tap.ready;
    assert.ok(sources >= 1, `${sources} sources`); // other test files may play too
  });

  it('listApps lists a player as active, and capture({ app }) by its name yields its tone', async () => {
    const name = `tone${process.pid}`; // a process is named by its executable: a copy of pacat of this test's own
    copyFileSync(execFileSync('sh', ['-c', 'command -v pacat'], { encoding: 'utf8' }).trim(), path.join(scratch, name));
    const player = play(440, path.join(scratch, name));
    const listed = async () => (await listApps())
      .some((a) => a.pid === player.pid && a.active && a.name === name && a.parent === process.pid);
    assert.ok(await waitFor(listed, 5000, 200), 'not listed as active, by its name, with this process as its parent');
    const tap = start({ app: name });
    const chunks = record(tap);
    assert.deepEqual(await tap.ready, { sources: 1 });
    await sleep(2000);
    const samples = samplesOf(Buffer.concat(chunks.map((c) => c.chunk)).subarray(-RATE * 4)); // the last second
    assert.ok(toneLevel(samples, 440) > PRESENT, `440 Hz at ${toneLevel(samples, 440).toFixed(0)}`);
  });

  it('a pid with no audio reaches READY; stop() ends it after its grace second', async () => {
    const target = silentProcess();
    const tap = start({ include: target.pid });
    assert.deepEqual(await tap.ready, { pid: target.pid });
    const exit = await tap.stop();
    assert.deepEqual(exit, { code: null, signal: 'SIGTERM' });
    assert.equal(alive(tap.pid), false);
  });

  it('stop() closes the pipe, pcmtap leaves with 0, and nothing stays behind', async () => {
    const a = play(440);
    assert.ok(await waitUntilPlaying(1));
    const tap = start({ include: a.pid });
    tap.resume();
    await tap.ready;
    const closed = once(tap, 'close');
    const started = performance.now();
    assert.deepEqual(await tap.stop(), { code: 0, signal: null });
    assert.ok(performance.now() - started < 900, 'pcmtap had to be terminated');
    assert.deepEqual(await closed, [0, null]);
    assert.equal(alive(tap.pid), false);
  });
});

describe('the child never outlives its parent', { skip: noServer }, () => {
  const PARENT = path.join(PACKAGE_DIR, 'test', 'parent.mjs');

  // Starts a parent program capturing a silent target, so that pcmtap, which
  // never writes, cannot learn from its pipe that the parent has gone;
  // resolves with the parent and pcmtap's pid.
  async function parent(env = process.env) {
    const target = silentProcess();
    const p = spawn(process.execPath, [PARENT, String(target.pid)], {
      env: { ...env, PCMTAP_PATH: REAL }, stdio: ['pipe', 'pipe', 'inherit'],
    });
    running.push({ stop: async () => p.kill('SIGKILL') });
    const [line] = await once(createInterface({ input: p.stdout }), 'line');
    const child = Number(line);
    assert.ok(alive(child));
    return { p, child };
  }

  after(async () => {
    await Promise.all(running.splice(0).map((tap) => tap.stop()));
  });

  it('when the parent exits normally', async () => {
    const { p, child } = await parent();
    p.stdin.end('exit\n');
    await once(p, 'exit');
    assert.ok(await waitFor(() => !alive(child), 2000), `pcmtap ${child} still runs`);
  });

  it('when the parent exits normally, with no launcher to find', async () => {
    const { p, child } = await parent({ ...process.env, PATH: '' });
    p.stdin.end('exit\n');
    await once(p, 'exit');
    assert.ok(await waitFor(() => !alive(child), 2000), `pcmtap ${child} still runs`);
  });

  it('when the parent is killed', async () => {
    const { p, child } = await parent();
    p.kill('SIGKILL');
    await once(p, 'exit');
    assert.ok(await waitFor(() => !alive(child), 2000), `pcmtap ${child} still runs`);
  });
});
