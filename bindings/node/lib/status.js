'use strict';

const { errorFromStatus } = require('./errors');

// One status line (its CR LF or LF already taken off) as a record, or null
// for anything that is not one: the lines a sanitizer or a library may add.
function parseStatus(line) {
  let m = /^READY (?:mix|app|include|exclude) (\d+)$/.exec(line);
  if (m) return { ready: { sources: Number(m[1]) } };
  m = /^READY (\d+)$/.exec(line);
  if (m) return { ready: { pid: Number(m[1]) } };
  m = /^ERROR (\S+) 0x([0-9a-fA-F]{8})$/.exec(line);
  if (m) return { error: errorFromStatus(m[1], parseInt(m[2], 16)) };
  return null;
}

// Calls onLine for every whole line of a text stream, however the reads
// split it; a last line without its line feed counts when the stream ends.
function readLines(stream, onLine) {
  let pending = '';
  stream.setEncoding('utf8');
  stream.on('data', (text) => {
    const lines = (pending + text).split('\n');
    pending = lines.pop();
    for (const line of lines) onLine(line.replace(/\r$/, ''));
  });
  stream.on('end', () => {
    if (pending) onLine(pending.replace(/\r$/, ''));
    pending = '';
  });
}

module.exports = { parseStatus, readLines };
