// A parent program for the tests: starts a capture of the pid in argv[2],
// prints pcmtap's pid once it is ready, and exits normally at the first
// line on its stdin (unless it is killed first).
import { capture } from '../index.mjs';

const tap = capture({ include: Number(process.argv[2]) });
await tap.ready;
tap.resume();
console.log(tap.pid);
process.stdin.once('data', () => process.exit(0));
