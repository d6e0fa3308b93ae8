'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { spawnError } = require('./errors');

const PACKAGE_DIR = path.join(__dirname, '..');

// Electron serves files inside app.asar to fs calls, but the system cannot
// execute them: a binary must come from the unpacked copy beside the archive.
function outsideAsar(file) {
  return file.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
}

function isExecutable(file, platform) {
  try {
    if (!fs.statSync(file).isFile()) return false;
    if (platform !== 'win32') fs.accessSync(file, fs.constants.X_OK);
    return true;
  } catch {
    return false;
  }
}

// PCMTAP_PATH if set, else the package's own prebuilt binary.
function findBinary({
  env = process.env,
  platform = process.platform,
  arch = process.arch,
  packageDir = PACKAGE_DIR,
  usable = isExecutable,
} = {}) {
  let tried;
  let hint;
  if (env.PCMTAP_PATH) {
    tried = [env.PCMTAP_PATH];
    hint = 'PCMTAP_PATH names no executable file';
  } else {
    const name = platform === 'win32' ? 'pcmtap.exe' : 'pcmtap';
    const bundled = path.join(packageDir, 'prebuilds', `${platform}-${arch}`, name);
    const unpacked = outsideAsar(bundled);
    tried = [unpacked];
    hint = unpacked === bundled
      ? `this package has no pcmtap for ${platform}-${arch}; set PCMTAP_PATH to one`
      : 'add "**/node_modules/pcmtap/prebuilds/**" to asarUnpack in your Electron build';
  }
  const found = tried.find((file) => usable(file, platform));
  if (found) return found;
  throw spawnError(`pcmtap binary not found (tried ${tried.join(', ')}): ${hint}`, 'PCMTAP_NOT_FOUND');
}

module.exports = { findBinary, outsideAsar };
