// The tarball as a new user meets it: built by scripts/pack-node, installed
// into an empty folder with npm, and its example run there against a tone.
import { it, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdirSync, readFileSync, readdirSync, statSync } from 'node:fs';
import path from 'node:path';
import { REPO_DIR, PACKAGE_DIR, noServer, play, samplesOf, scratch, stopPlayers, toneLevel, waitUntilPlaying } from './helpers.mjs';

after(stopPlayers);

function run(command, args, options) {
  return execFileSync(command, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'], ...options });
}

it('installs from its tarball into an empty folder, and its example captures a tone there', { skip: noServer, timeout: 600_000 }, async () => {
  const tarball = run(path.join(REPO_DIR, 'scripts', 'pack-node'), [path.join(scratch, 'dist')]).trim().split('\n').pop();
  const { version } = JSON.parse(readFileSync(path.join(PACKAGE_DIR, 'package.json'), 'utf8'));
  assert.equal(path.basename(tarball), `pcmtap-${version}.tgz`);

  const app = path.join(scratch, 'app');
  mkdirSync(app);
  copyFileSync(tarball, path.join(app, path.basename(tarball)));
  const env = { ...process.env };
  delete env.PCMTAP_PATH; // the package's own binary, nothing else
  run('npm', ['install', '--no-audit', '--no-fund', `./${path.basename(tarball)}`], { cwd: app, env });

  const installed = path.join(app, 'node_modules', 'pcmtap');
  assert.deepEqual(readdirSync(path.join(installed, 'prebuilds')).sort(), ['linux-x64', 'win32-x64']);
  assert.ok(statSync(path.join(installed, 'prebuilds', 'linux-x64', 'pcmtap')).mode & 0o100, 'not executable');
  assert.ok(statSync(path.join(installed, 'prebuilds', 'win32-x64', 'pcmtap.exe')).size > 0);
  assert.deepEqual(readdirSync(installed).filter((f) => /test|example|node_modules/.test(f)), []);
  assert.equal(run(process.execPath, ['-p', 'typeof require("pcmtap").capture'], { cwd: app, env }).trim(), 'function');

  const player = play(440);
  assert.ok(await waitUntilPlaying(1));
  copyFileSync(path.join(PACKAGE_DIR, 'example', 'record.mjs'), path.join(app, 'record.mjs'));
  const out = run(process.execPath, ['record.mjs', String(player.pid), '1.5', 'tone.raw'], { cwd: app, env });
  assert.match(out, new RegExp(`ready: \\{ pid: ${player.pid} \\}`));
  const pcm = readFileSync(path.join(app, 'tone.raw'));
  assert.ok(pcm.length > 48000 * 4, `${pcm.length} bytes`);
  const level = toneLevel(samplesOf(pcm.subarray(pcm.length - 48000 * 4)), 440);
  assert.ok(level > 2000, `440 Hz at ${level.toFixed(0)}`);
});
