// Compiled, never run: the CommonJS entry has the same declarations.
import pcmtap = require('pcmtap');

const tap: pcmtap.Capture = pcmtap.capture({ include: 42 });
tap.ready.then((info) => ('pid' in info ? info.pid : info.sources).toFixed());
tap.on('data', (chunk) => chunk.readInt16LE(0));
const err: pcmtap.PcmtapError | null = null;
void err;
// @ts-expect-error stop() takes nothing
tap.stop(1);
