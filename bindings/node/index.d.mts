export * from './index.js';
import pcmtap = require('./index.js');
export default pcmtap;
