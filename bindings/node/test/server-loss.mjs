// The sound server killed under a running capture. Run alone, on a server
// of its own: it kills the server that tests/e2e/with_sound_server.py started.
import { it } from 'node:test';
import assert from 'node:assert/strict';
import { setTimeout as sleep } from 'node:timers/promises';
import { capture, PcmtapError } from '../index.mjs';
import { REAL, noServer, play, stopPlayers, waitUntilPlaying } from './helpers.mjs';

const serverPids = (process.env.PCMTAP_TEST_SERVER_PIDS || '').split(' ').filter(Boolean).map(Number);

it('a server killed after READY gives one error, at buffer, then close with 1',
  { skip: noServer || (serverPids.length ? false : 'no PCMTAP_TEST_SERVER_PIDS') }, async () => {
    process.env.PCMTAP_PATH = REAL;
    const a = play(440);
    try {
      assert.ok(await waitUntilPlaying(1));
      const tap = capture({ include: a.pid });
      const errors = [];
      tap.on('error', (err) => errors.push(err));
      tap.resume();
      await tap.ready;
      await sleep(300);
      for (const pid of serverPids) process.kill(pid, 'SIGKILL');
      const [code, signal] = await new Promise((resolve) => tap.on('close', (...args) => resolve(args)));
      assert.equal(errors.length, 1, errors.join('; '));
      assert.ok(errors[0] instanceof PcmtapError);
      assert.equal(errors[0].stage, 'buffer');
      assert.ok(errors[0].hresult >= 0x80000000, `hresult ${errors[0].hresult}`);
      assert.deepEqual([code, signal], [1, null]);
    } finally {
      stopPlayers();
    }
  });
