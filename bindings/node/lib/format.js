'use strict';

// The output formats pcmtap converts to, each read as pcmtap reads it.
const SAMPLE_TYPES = {
  s16le: { bitsPerSample: 16, Samples: Int16Array },
  f32le: { bitsPerSample: 32, Samples: Float32Array },
};
const MIN_RATE = 8000;
const MAX_RATE = 192000;

function formatOf(rate, channels, sampleFormat) {
  const { bitsPerSample } = SAMPLE_TYPES[sampleFormat];
  return Object.freeze({ sampleRate: rate, channels, sampleFormat, bitsPerSample, bytesPerFrame: (channels * bitsPerSample) / 8 });
}

const FORMAT = formatOf(48000, 2, 's16le');

function describe(value) {
  return typeof value === 'string' ? JSON.stringify(value) : typeof value === 'bigint' ? `${value}n` : String(value);
}

// The format a caller asked for, and the options that ask pcmtap for it: only
// those given, so that a capture without them runs exactly as before.
function requestedFormat({ rate, channels, format }) {
  const args = [];
  if (rate !== undefined) {
    if (typeof rate !== 'number' || !Number.isInteger(rate) || rate < MIN_RATE || rate > MAX_RATE) {
      throw new TypeError(`pcmtap: rate is a number of frames a second, an integer from ${MIN_RATE} to ${MAX_RATE}; got ${describe(rate)}`);
    }
    args.push('--rate', String(rate));
  }
  if (channels !== undefined) {
    if (channels !== 1 && channels !== 2) throw new TypeError(`pcmtap: channels is 1 or 2; got ${describe(channels)}`);
    args.push('--channels', String(channels));
  }
  if (format !== undefined) {
    if (!Object.hasOwn(SAMPLE_TYPES, format)) throw new TypeError(`pcmtap: format is 's16le' or 'f32le'; got ${describe(format)}`);
    args.push('--format', format);
  }
  return {
    args,
    format: formatOf(rate ?? FORMAT.sampleRate, channels ?? FORMAT.channels, format ?? FORMAT.sampleFormat),
  };
}

module.exports = { FORMAT, SAMPLE_TYPES, requestedFormat };
