'use strict';

const { Readable } = require('node:stream');
const { commandLine } = require('./target');
const { findBinary } = require('./locate');
const { launch } = require('./launch');
const { parseStatus, readLines } = require('./status');
const { frameSplitter } = require('./frames');
const { FORMAT, requestedFormat } = require('./format');
const { exitError, spawnError } = require('./errors');

// How long stop() lets pcmtap notice its closed stdout before ending it: a
// capture whose target plays nothing writes nothing, and so never notices.
const STOP_GRACE_MS = 1000;

// One pcmtap run, read as a stream of PCM. 'close' carries pcmtap's exit code
// and signal, so the stream emits it itself, once the child has exited and
// the stream has ended or been destroyed.
class Capture extends Readable {
  constructor(child, { frames, format = FORMAT }) {
    super({ objectMode: frames, emitClose: false });
    this.format = format;
    this.pid = child.pid;
    this._child = child;
    this._take = frames ? frameSplitter(format) : null;
    this._isReady = false;
    this._failure = null; // an ERROR line, or the child that could not start
    this._stopRequested = false;
    this._exit = null; // { code, signal } once the child has closed
    this._exitWaiters = [];
    this._destroyCallback = null;
    this._extraLines = [];

    this.ready = new Promise((resolve, reject) => {
      this._resolveReady = resolve;
      this._rejectReady = reject;
    });
    // A caller that only reads the stream is not required to look at ready.
    this.ready.catch(() => {});

    child.stdout.on('data', (chunk) => this._onPcm(chunk));
    readLines(child.stderr, (line) => this._onStatusLine(line));
    child.on('error', (err) => this._onSpawnError(err));
    child.on('close', (code, signal) => this._onClose(code, signal));
  }

  stop() {
    if (!this._stopping) {
      this._stopRequested = true;
      this._stopping = new Promise((resolve) => this._whenExited(resolve));
      if (!this._exit) {
        // pcmtap ends with exit code 0 at its next write to a closed pipe.
        this._child.stdout.destroy();
        const timer = setTimeout(() => this._child.kill(), STOP_GRACE_MS);
        this._whenExited(() => clearTimeout(timer));
      }
    }
    return this._stopping;
  }

  _read() {
    this._child.stdout.resume();
  }

  _destroy(err, callback) {
    this._destroyCallback = () => {
      callback(err);
      process.nextTick(() => this.emit('close', this._exit.code, this._exit.signal));
    };
    if (this._exit) this._destroyCallback();
    else this.stop();
  }

  _whenExited(fn) {
    if (this._exit) fn(this._exit);
    else this._exitWaiters.push(fn);
  }

  _onPcm(chunk) {
    const out = this._take ? this._take(chunk) : chunk;
    if (out && !this.destroyed && !this.push(out)) this._child.stdout.pause();
  }

  _onStatusLine(line) {
    const status = parseStatus(line);
    if (!status) {
      if (line.trim()) this._extraLines.push(line);
      return;
    }
    if (status.ready && !this._isReady && !this._failure) {
      this._isReady = true;
      this._resolveReady(status.ready);
    } else if (status.error && !this._failure) {
      this._failure = status.error;
      if (!this._isReady) this._rejectReady(status.error);
    }
  }

  // A started child reports a failed kill() here too; its end comes by 'close'.
  _onSpawnError(err) {
    if (this.pid !== undefined || this._exit) return;
    this._failure = spawnError(`pcmtap could not be started: ${err.message}`, err.code || 'PCMTAP_SPAWN_FAILED');
    this._onClose(null, null);
  }

  _onClose(code, signal) {
    if (this._exit) return;
    this._exit = { code, signal };
    for (const fn of this._exitWaiters.splice(0)) fn(this._exit);
    if (this._destroyCallback) {
      this._destroyCallback();
      return;
    }
    if (!this._isReady) {
      this._rejectReady(this._failure || this._earlyExitError());
      this.destroy();
    } else if (this._failure) {
      this.destroy(this._failure);
    } else if (!this._stopRequested && (code !== 0 || signal)) {
      this.destroy(exitError(`pcmtap ended without a status line (${this._ending()})${this._extraText()}`, 'PCMTAP_EXITED'));
    } else {
      this.push(null);
    }
  }

  _earlyExitError() {
    if (this._stopRequested) return exitError('the capture was stopped before pcmtap was ready', 'PCMTAP_STOPPED');
    return exitError(`pcmtap ended before it was ready (${this._ending()})${this._extraText()}`, 'PCMTAP_EXITED');
  }

  _ending() {
    return this._exit.signal ? `signal ${this._exit.signal}` : `exit code ${this._exit.code}`;
  }

  _extraText() {
    return this._extraLines.length ? `: ${this._extraLines.slice(-5).join(' | ')}` : '';
  }
}

function capture(target, options = {}) {
  const args = commandLine(target);
  if (options === null || typeof options !== 'object') throw new TypeError('pcmtap: options must be an object');
  if (options.frames !== undefined && typeof options.frames !== 'boolean') {
    throw new TypeError(`pcmtap: frames must be true or false; got ${String(options.frames)}`);
  }
  const frames = options.frames === true;
  const { args: formatArgs, format } = requestedFormat(options);
  const binary = findBinary();
  return new Capture(launch(binary, [...args, ...formatArgs]), { frames, format });
}

module.exports = { capture, Capture, FORMAT };
