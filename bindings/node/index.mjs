import pcmtap from './index.js';

export const { capture, Capture, PcmtapError, FORMAT } = pcmtap;
export default pcmtap;
