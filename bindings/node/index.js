'use strict';

const { capture, Capture, FORMAT } = require('./lib/capture');
const { PcmtapError } = require('./lib/errors');

module.exports = { capture, Capture, PcmtapError, FORMAT };
