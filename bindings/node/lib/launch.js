'use strict';

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

// Children still running when this process exits normally are ended here.
const running = new Set();
let hooked = false;

function endAll() {
  for (const child of running) child.kill();
}

function track(child) {
  if (!hooked) {
    process.on('exit', endAll);
    hooked = true;
  }
  running.add(child);
  child.once('exit', () => running.delete(child));
  child.once('error', () => running.delete(child));
}

// On Linux a parent that is killed runs no exit handler. util-linux's
// setpriv asks the kernel to send the child SIGKILL when its parent dies
// (PR_SET_PDEATHSIG, kept across exec), so pcmtap keeps its own pid and
// nothing of ours stays behind. The signal follows the thread that spawned
// the child: a capture started in a worker thread ends with that worker.
let deathSignalLauncher;

function findDeathSignalLauncher(env) {
  for (const dir of (env.PATH || '').split(path.delimiter)) {
    if (!dir) continue;
    const file = path.join(dir, 'setpriv');
    try {
      fs.accessSync(file, fs.constants.X_OK);
      const help = execFileSync(file, ['--help'], { encoding: 'utf8', timeout: 5000, stdio: ['ignore', 'pipe', 'ignore'] });
      return help.includes('--pdeathsig') ? file : null;
    } catch {
      // not here, or too old to know --pdeathsig
    }
  }
  return null;
}

function launch(binary, args) {
  let file = binary;
  let argv = args;
  if (process.platform === 'linux') {
    if (deathSignalLauncher === undefined) deathSignalLauncher = findDeathSignalLauncher(process.env);
    if (deathSignalLauncher) {
      file = deathSignalLauncher;
      argv = ['--pdeathsig', 'KILL', '--', binary, ...args];
    }
  }
  const child = spawn(file, argv, { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
  track(child);
  return child;
}

module.exports = { launch };
