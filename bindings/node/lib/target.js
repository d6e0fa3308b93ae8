'use strict';

const MODES = ['include', 'exclude', 'mix', 'hwnd', 'app'];
const MAX_PID = 0xffffffff;
const MAX_HANDLE = (1n << 64n) - 1n;
const MAX_NAME = 260; // MAX_PATH, as pcmtap allows

function describe(value) {
  if (typeof value === 'bigint') return `${value}n`;
  if (typeof value === 'string') return JSON.stringify(value);
  return String(value);
}

// pcmtap reads its values like strtoul: "-1" would become 4294967295 and
// "1.5" would become 1, so only exact values are handed to it.
function pidText(mode, value) {
  if (typeof value !== 'number' || !Number.isInteger(value) || value < 1 || value > MAX_PID) {
    throw new TypeError(`pcmtap: ${mode} needs a process id, an integer from 1 to ${MAX_PID}; got ${describe(value)}`);
  }
  return String(value);
}

function handleText(value) {
  if (typeof value === 'bigint') {
    if (value >= 1n && value <= MAX_HANDLE) return value.toString();
  } else if (typeof value === 'number' && Number.isSafeInteger(value) && value >= 1) {
    return String(value);
  }
  throw new TypeError(
    `pcmtap: hwnd needs a window handle, a non-zero integer (a bigint above ${Number.MAX_SAFE_INTEGER}); got ${describe(value)}`);
}

// An executable's file name, which pcmtap matches without regard to case or
// ".exe". It refuses an empty one, a path and more than MAX_PATH; a NUL
// would cut the argument short.
function nameText(value) {
  if (typeof value !== 'string' || value === '' || value.length > MAX_NAME || /[\\/\0]/.test(value)) {
    throw new TypeError(
      `pcmtap: app needs an executable's file name, 1 to ${MAX_NAME} characters with no path or NUL in it; got ${describe(value)}`);
  }
  return value;
}

// { include: pid } and friends, as pcmtap's command line.
function commandLine(target) {
  if (target === null || typeof target !== 'object') {
    throw new TypeError('pcmtap: the target is one of { include: pid }, { exclude: pid }, { mix: pid }, { hwnd: handle }, { app: name }');
  }
  const keys = Object.keys(target).filter((key) => target[key] !== undefined);
  if (keys.length !== 1 || !MODES.includes(keys[0])) {
    throw new TypeError(`pcmtap: the target needs exactly one of ${MODES.join(', ')}; got { ${keys.join(', ')} }`);
  }
  const mode = keys[0];
  let value;
  if (mode === 'hwnd') value = handleText(target.hwnd);
  else if (mode === 'app') value = nameText(target.app);
  else value = pidText(mode, target[mode]);
  return ['--' + mode, value];
}

module.exports = { commandLine };
