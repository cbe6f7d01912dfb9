// The background script's texts: what it says when the native host is missing or fails, and the
// panel's hint without a message. The message display (display.js) and the panel page label their
// own controls; the banner and everything about a message's translation come from the extension.
"use strict";

const kTexts = {
  hostMissing:
    "Quillory 没有连上本机程序。请在终端运行 quillory-ext install-thunderbird，然后重新启动 Thunderbird。",
  hostFailed: "Quillory 本机程序出错：",
  hostExited: "程序已退出。",
  noMessage: "先打开一封邮件，再调整它的翻译设置。",
};
