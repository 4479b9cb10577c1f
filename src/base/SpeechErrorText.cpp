#include "base/SpeechErrorText.h"

namespace pagemate {

std::string describeSpeechError(const SpeechError& error) {
    std::string text;
    switch (error.kind) {
        case SpeechError::Kind::unavailable:
            text = "本机没有可用的语音模型";
            break;
        case SpeechError::Kind::unsupportedLocale:
            text = "语音识别不支持这种语言";
            break;
        case SpeechError::Kind::modelUnusable:
            text = "语音模型无法加载";
            break;
        case SpeechError::Kind::downloadFailed:
            text = "语音模型下载失败";
            break;
        case SpeechError::Kind::reserveFailed:
            text = "语音模型预留失败";
            break;
        case SpeechError::Kind::formatRejected:
            text = "识别器不接受这种音频格式";
            break;
        case SpeechError::Kind::wrongState:
            text = "识别器调用顺序不对";
            break;
        case SpeechError::Kind::recognitionFailed:
            text = "识别器中途出错";
            break;
    }
    if (!error.detail.empty()) {
        text += "（" + error.detail + "）";
    }
    return text;
}

}  // namespace pagemate
