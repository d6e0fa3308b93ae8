'use strict';

const { findBinary } = require('./locate');
const { launch } = require('./launch');
const { parseStatus, readLines } = require('./status');
const { PcmtapError, exitError, spawnError } = require('./errors');

// pcmtap --list answers at once; one still silent after this is stuck on the
// audio service, and is ended.
const LIST_TIMEOUT_MS = 10000;
const TIMEOUT = 0x800705b4;
// setTimeout fires at once for a delay it cannot hold; a longer one waits for ever.
const LONGEST_TIMER_MS = 2 ** 31 - 1;

const nullOr = (value, type) => value === null || typeof value === type;

// One line of pcmtap --list as an App, or null for a line that is not one.
function appFromLine(line) {
  let v;
  try {
    v = JSON.parse(line);
  } catch {
    return null;
  }
  if (v === null || typeof v !== 'object' || !Number.isInteger(v.pid) || v.pid < 1 ||
    !(v.parent === null || Number.isInteger(v.parent)) || typeof v.name !== 'string' ||
    !nullOr(v.path, 'string') || typeof v.active !== 'boolean' || !nullOr(v.window, 'string') ||
    !(v.host === undefined || nullOr(v.host, 'string'))) return null;
  // A pcmtap older than the host field says nothing of hosts.
  const host = v.host === undefined ? null : v.host;
  return { pid: v.pid, parent: v.parent, name: v.name, path: v.path, active: v.active, window: v.window, host };
}

function listError(message, code, hresult = null) {
  return new PcmtapError(message, { stage: 'list', hresult, code });
}

function timeoutOf(options) {
  if (options === null || typeof options !== 'object') throw new TypeError('pcmtap: options must be an object');
  const { timeout = LIST_TIMEOUT_MS } = options;
  if (typeof timeout !== 'number' || !(timeout > 0)) {
    throw new TypeError(`pcmtap: timeout must be a number of milliseconds above 0 (Infinity: no limit); got ${String(timeout)}`);
  }
  return timeout;
}

// The processes that have an audio session now, playing ones first.
function listApps(options = {}) {
  return new Promise((resolve, reject) => {
    const timeout = timeoutOf(options);
    const child = launch(findBinary(), ['--list']);
    const apps = [];
    const said = [];
    let badLine = null;
    let failure = null; // an ERROR line
    let timedOut = false;
    let settled = false;
    const timer = timeout <= LONGEST_TIMER_MS ? setTimeout(() => {
      timedOut = true;
      child.kill();
    }, timeout) : null;

    const settle = (err) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      if (err) reject(err);
      else resolve(apps);
    };

    readLines(child.stdout, (line) => {
      if (!line.trim() || badLine !== null) return;
      const app = appFromLine(line);
      if (app) apps.push(app);
      else badLine = line;
    });
    readLines(child.stderr, (line) => {
      const status = parseStatus(line);
      if (status && status.error) failure = failure || status.error;
      else if (line.trim()) said.push(line);
    });
    // A started child reports a failed kill() here too; its end comes by 'close'.
    child.on('error', (err) => {
      if (child.pid === undefined) settle(spawnError(`pcmtap could not be started: ${err.message}`, err.code || 'PCMTAP_SPAWN_FAILED'));
    });
    child.on('close', (code, signal) => {
      const words = said.length ? `: ${said.slice(-5).join(' | ')}` : '';
      if (timedOut) {
        settle(listError(`pcmtap --list gave no answer within ${timeout / 1000} s; try again, ` +
          'and restart the audio service if it keeps happening', 'ERROR_TIMEOUT', TIMEOUT));
      } else if (failure) {
        settle(failure);
      } else if (code !== 0 || signal) {
        settle(exitError(`pcmtap --list ended with ${signal ? `signal ${signal}` : `exit code ${code}`}${words}`, 'PCMTAP_EXITED'));
      } else if (badLine !== null) {
        const quoted = JSON.stringify(badLine.slice(0, 200));
        settle(listError(`pcmtap --list printed a line that is no app record: ${quoted}`, 'PCMTAP_BAD_OUTPUT'));
      } else {
        settle(null);
      }
    });
  });
}

module.exports = { listApps };
