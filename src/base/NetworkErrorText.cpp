#include "base/NetworkErrorText.h"

namespace pagemate {

std::string networkErrorText(const NetworkError& error) {
    using Kind = NetworkError::Kind;
    switch (error.kind) {
        case Kind::invalidURL:
            return "不支持的 URL。";
        case Kind::invalidRequest:
            return "请求头无效。";
        case Kind::timedOut:
            return "请求超时。";
        case Kind::cannotConnect:
            return "未能连接到服务器。";
        case Kind::cannotResolveHost:
            return "未能找到使用指定主机名的服务器。";
        case Kind::connectionLost:
            return "网络连接已中断。";
        case Kind::secureConnectionFailed:
            return "发生了 SSL 错误，无法建立与该服务器的安全连接。";
        case Kind::tooManyRedirects:
            return "重定向过多。";
        case Kind::responseTooLarge:
            return "服务器返回的数据过多。";
        case Kind::fileUnreadable:
            return "无法读取要上传的文件。";
        case Kind::cancelled:
            return "已取消。";
        case Kind::other:
            break;
    }
    return error.detail.empty() ? "网络请求失败。" : "网络请求失败（" + error.detail + "）。";
}

}  // namespace pagemate
