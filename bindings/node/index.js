'use strict';

const { capture, Capture, FORMAT } = require('./lib/capture');
const { PcmtapError } = require('./lib/errors');
const { listApps } = require('./lib/list');

module.exports = { capture, listApps, Capture, PcmtapError, FORMAT };
