#!/usr/bin/env node
// Stands in for pcmtap where the real one cannot be made to do something:
// split its status lines, end them in CR LF as on Windows, write PCM in odd
// pieces, die. Plays the steps in PCMTAP_FAKE_STEPS (JSON) and records its
// arguments in the file PCMTAP_FAKE_ARGS.
import { writeFileSync, writeSync } from 'node:fs';
import { setTimeout as sleep } from 'node:timers/promises';

if (process.env.PCMTAP_FAKE_ARGS) writeFileSync(process.env.PCMTAP_FAKE_ARGS, JSON.stringify(process.argv.slice(2)));
for (const step of JSON.parse(process.env.PCMTAP_FAKE_STEPS || '[]')) {
  if ('stderr' in step) writeSync(2, step.stderr);
  if ('stdout' in step) writeSync(1, Buffer.from(step.stdout));
  if ('sleep' in step) await sleep(step.sleep);
  if ('exit' in step) process.exit(step.exit);
  if ('signal' in step) process.kill(process.pid, step.signal);
  if ('hang' in step) setInterval(() => {}, 1000);
}
