'use strict';

// The result codes a user actually meets, with what to do about each.
// Anything else is named by its hex value.
const KNOWN = new Map([
  [0x80070057, ['E_INVALIDARG', 'pcmtap refused its command line; pass a non-zero process id or a live window handle']],
  [0x80070002, ['ERROR_FILE_NOT_FOUND', 'the process-loopback device was not found']],
  [0x88890004, ['AUDCLNT_E_DEVICE_INVALIDATED', 'the audio device went away or the audio service restarted; start the capture again']],
  [0x88890010, ['AUDCLNT_E_SERVICE_NOT_RUNNING', 'the audio service is not running; start it (Windows Audio), then start the capture again']],
  [0x800705b4, ['ERROR_TIMEOUT', 'the audio service did not complete the activation in time; try again, and restart the Windows Audio service if it keeps happening']],
  [0x80070005, ['E_ACCESSDENIED', 'access to the audio was denied; run pcmtap as the same user as the target process, and check the privacy settings for audio capture']],
  [0x80070070, ['ERROR_DISK_FULL', "the disk or device that pcmtap's output goes to is full"]],
  [0x8007000a, ['ERROR_BAD_ENVIRONMENT', 'PCMTAP_AUDIO names no audio group (Linux); set it to pulse or pipewire, or leave it unset']],
]);

// Process loopback arrived in Windows 10 build 19041; older Windows and Wine
// answer the activation with "file not found".
const NO_PROCESS_LOOPBACK =
  'process-loopback capture is not available on this system; it needs Windows 10 version 2004 (build 19041) or later, and Wine has none';

// pcmtap writes binary audio, which a console must not get.
const CONSOLE_OUTPUT = "pcmtap's standard output is a console; give it a pipe or a file";

class PcmtapError extends Error {
  constructor(message, { stage, hresult = null, code }) {
    super(message);
    this.stage = stage;
    this.hresult = hresult;
    this.code = code;
  }
}
Object.defineProperty(PcmtapError.prototype, 'name', {
  value: 'PcmtapError', writable: true, configurable: true, enumerable: false,
});

function hex(hresult) {
  return '0x' + hresult.toString(16).padStart(8, '0');
}

function advice(stage, hresult) {
  if (hresult === 0x80070002 && (stage === 'activate' || stage === 'activate-result')) {
    return NO_PROCESS_LOOPBACK;
  }
  if (hresult === 0x80070032 && stage === 'output') return CONSOLE_OUTPUT;
  const known = KNOWN.get(hresult);
  if (known) return known[1];
  if (hresult >>> 16 === 0x8007) {
    return `it carries Win32 error ${hresult & 0xffff}; look that number up among the system error codes`;
  }
  return 'no advice is known for this code; see the result code in the Windows documentation';
}

// The error an "ERROR <stage> 0x<hresult>" line stands for.
function errorFromStatus(stage, hresult) {
  const known = KNOWN.get(hresult);
  const code = known ? known[0] : 'HRESULT_' + hex(hresult);
  const message = `pcmtap failed at ${stage} with ${hex(hresult)} (${code}): ${advice(stage, hresult)}`;
  return new PcmtapError(message, { stage, hresult, code });
}

// Endings that carry no ERROR line: the package's own stages.
function spawnError(message, code) {
  return new PcmtapError(message, { stage: 'spawn', code });
}

function exitError(message, code) {
  return new PcmtapError(message, { stage: 'exit', code });
}

module.exports = { PcmtapError, errorFromStatus, spawnError, exitError };
