'use strict';

const MAX_PID = 0xffffffff;
const MAX_HANDLE = (1n << 64n) - 1n;
const MAX_NAME = 260; // MAX_PATH, in UTF-16 units, as pcmtap allows
const KEYS = ['include', 'hwnd', 'app', 'exclude', 'mix'];
const SHAPES = '{ include, hwnd, app } (each one value or a list; any of them together), { exclude: pid or list } or { mix: pid }';

// Characters no Windows file name holds, and the final dot or space that
// Windows strips from one: a name made of them can never match, and pcmtap
// refuses it. A lone surrogate would reach pcmtap as invalid UTF-8; a NUL
// would cut the argument short.
const NOT_A_FILE_NAME = /[\0-\x1f<>:"|?*\\/]|\p{Cs}|[. ]$/u;

function describe(value) {
  if (typeof value === 'bigint') return `${value}n`;
  if (typeof value === 'string') return JSON.stringify(value);
  if (Array.isArray(value)) return `[${value.map(describe).join(', ')}]`;
  return String(value);
}

// pcmtap reads its values like strtoul: "-1" would become 4294967295 and
// "1.5" would become 1, so only exact values are handed to it.
function pidText(key, value) {
  if (typeof value !== 'number' || !Number.isInteger(value) || value < 1 || value > MAX_PID) {
    throw new TypeError(`pcmtap: ${key} needs a process id, an integer from 1 to ${MAX_PID}; got ${describe(value)}`);
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
// ".exe".
function nameText(value) {
  if (typeof value !== 'string' || value === '' || value.length > MAX_NAME || NOT_A_FILE_NAME.test(value)) {
    throw new TypeError(`pcmtap: app needs an executable's file name, 1 to ${MAX_NAME} UTF-16 units with no path, ` +
      `control character or any of < > : " | ? *, not ending in a dot or a space; got ${describe(value)}`);
  }
  return value;
}

// One value or a list of them, each checked; an empty list is as good as none.
function listOf(target, key, text) {
  const value = target[key];
  if (value === undefined) return [];
  return (Array.isArray(value) ? value : [value]).map((v) => text(key, v));
}

// A target as pcmtap's command line: { include: pid }, { app: [a, b] },
// { include: [p, q], hwnd: h }, { exclude: [p, q] }, { mix: pid }, ...
function commandLine(target) {
  if (target === null || typeof target !== 'object' || Array.isArray(target)) {
    throw new TypeError(`pcmtap: the target is one of ${SHAPES}`);
  }
  const keys = Object.keys(target).filter((key) => target[key] !== undefined);
  const unknown = keys.filter((key) => !KEYS.includes(key));
  if (unknown.length || (keys.includes('mix') && keys.length > 1)) {
    throw new TypeError(`pcmtap: the target is one of ${SHAPES}; got { ${keys.join(', ')} }`);
  }
  if (keys.includes('mix')) return ['--mix', pidText('mix', target.mix)];

  const include = listOf(target, 'include', pidText);
  const hwnd = listOf(target, 'hwnd', (key, v) => handleText(v));
  const app = listOf(target, 'app', (key, v) => nameText(v));
  const exclude = listOf(target, 'exclude', pidText);
  const named = include.length + hwnd.length + app.length;
  if (named && exclude.length) {
    throw new TypeError('pcmtap: a capture either takes trees (include, hwnd, app) or leaves them out (exclude), not both');
  }
  if (!named && !exclude.length) throw new TypeError(`pcmtap: the target names nothing to capture; it is one of ${SHAPES}`);

  // At most one --include, --hwnd or --exclude: of two, the last one's pid
  // would replace the first's. Every other pid or handle is an --add-*.
  const args = [];
  let first = true;
  for (const [word, values] of [['include', include], ['hwnd', hwnd], ['exclude', exclude]]) {
    for (const value of values) {
      args.push(first ? `--${word}` : `--add-${word}`, value);
      first = false;
    }
  }
  for (const name of app) args.push('--app', name);
  return args;
}

module.exports = { commandLine };
