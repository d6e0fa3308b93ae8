// The hand-written declarations, compiled against code that uses them.
import { it } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import path from 'node:path';
import { PACKAGE_DIR } from './helpers.mjs';

it('index.d.ts and index.d.mts pass tsc --noEmit, refusing what they should', () => {
  const tsc = path.join(PACKAGE_DIR, 'node_modules', 'typescript', 'bin', 'tsc');
  assert.ok(existsSync(tsc), 'typescript is missing: run npm ci in bindings/node');
  const result = spawnSync(process.execPath, [tsc, '--noEmit', '-p', path.join(PACKAGE_DIR, 'test', 'types')], { encoding: 'utf8' });
  assert.equal(result.status, 0, result.stdout + result.stderr);
});
