'use strict';

const os = require('node:os');
const { FORMAT, SAMPLE_TYPES } = require('./format');

const BIG_ENDIAN = os.endianness() === 'BE';

// Turns pipe chunks into whole frames of the format: the bytes of a frame
// split between two reads are carried over to the next chunk. Each typed
// array (Int16Array for s16le, Float32Array for f32le) owns its memory.
function frameSplitter(format = FORMAT) {
  const { Samples } = SAMPLE_TYPES[format.sampleFormat];
  const { bytesPerFrame } = format;
  let carry = null;
  return function take(chunk) {
    const bytes = carry ? Buffer.concat([carry, chunk]) : chunk;
    const whole = bytes.length - (bytes.length % bytesPerFrame);
    carry = whole < bytes.length ? Buffer.from(bytes.subarray(whole)) : null;
    if (whole === 0) return null;
    const samples = new Samples(whole / Samples.BYTES_PER_ELEMENT);
    const view = Buffer.from(samples.buffer);
    bytes.copy(view, 0, 0, whole);
    if (BIG_ENDIAN) {
      if (Samples.BYTES_PER_ELEMENT === 2) view.swap16();
      else view.swap32();
    }
    return samples;
  };
}

module.exports = { frameSplitter };
