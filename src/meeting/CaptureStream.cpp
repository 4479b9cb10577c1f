#include "meeting/CaptureStream.h"

#include <algorithm>
#include <cstring>

namespace pagemate {

std::shared_ptr<AudioBlock> CaptureStream::bufferFromList(std::span<const SoundBuffer> list,
                                                          const AudioFormat& format) {
    if (list.empty()) {
        return nullptr;
    }
    const std::size_t size = list.front().bytes;
    if (size == 0) {
        return nullptr;
    }
    const std::size_t bytesPerFrame = format.bytesPerFrame();
    if (bytesPerFrame > size) {
        return nullptr;
    }
    const auto frames = static_cast<std::uint32_t>(size / std::max<std::size_t>(bytesPerFrame, 1));
    auto block = AudioBlock::make(format, frames);
    if (!block) {
        return nullptr;
    }
    block->setFrameLength(frames);
    const std::size_t count = std::min(list.size(), block->bufferCount());
    for (std::size_t index = 0; index < count; ++index) {
        const std::span<std::byte> destination = block->bytes(index);
        const SoundBuffer& source = list[index];
        if (source.data != nullptr && !destination.empty()) {
            std::memcpy(destination.data(), source.data,
                        std::min(destination.size(), source.bytes));
        }
    }
    return block;
}

}  // namespace pagemate
