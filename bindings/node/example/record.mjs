// Records what a process plays to a raw PCM file for a few seconds:
//   node record.mjs PID [SECONDS] [FILE]
// Listen to it with: ffplay -f s16le -ar 48000 -ac 2 FILE
import { createWriteStream } from 'node:fs';
import { pipeline } from 'node:stream/promises';
import { capture } from 'pcmtap';

const [pid, seconds = '3', file = 'capture.raw'] = process.argv.slice(2);
const tap = capture({ include: Number(pid) });
console.log('ready:', await tap.ready); // a PcmtapError says why when pcmtap cannot capture
setTimeout(() => tap.stop(), Number(seconds) * 1000);
await pipeline(tap, createWriteStream(file));
console.log(`wrote ${file}`);
