'use strict';

const os = require('node:os');

const BYTES_PER_FRAME = 4;
const BIG_ENDIAN = os.endianness() === 'BE';

// Turns pipe chunks into whole frames: the bytes of a frame split between two
// reads are carried over to the next chunk. Each Int16Array owns its memory.
function frameSplitter() {
  let carry = null;
  return function take(chunk) {
    const bytes = carry ? Buffer.concat([carry, chunk]) : chunk;
    const whole = bytes.length - (bytes.length % BYTES_PER_FRAME);
    carry = whole < bytes.length ? Buffer.from(bytes.subarray(whole)) : null;
    if (whole === 0) return null;
    const samples = new Int16Array(whole / 2);
    const view = Buffer.from(samples.buffer);
    bytes.copy(view, 0, 0, whole);
    if (BIG_ENDIAN) view.swap16();
    return samples;
  };
}

module.exports = { frameSplitter, BYTES_PER_FRAME };
