#include "meeting/RecordingsFolder.h"

#include <system_error>

#include "meeting/MeetingRecorder.h"
#include "platform/Platform.h"

namespace pagemate {

void openRecordingsFolder() {
    const std::filesystem::path folder = MeetingRecorder::outputDirectory();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    (void)Platform::current().workspace->openFile(folder);
}

}  // namespace pagemate
