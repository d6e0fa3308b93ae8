import pcmtap from './index.js';

export const { capture, listApps, Capture, PcmtapError, FORMAT } = pcmtap;
export default pcmtap;
