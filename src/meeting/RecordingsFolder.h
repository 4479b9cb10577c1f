#pragma once

namespace pagemate {

// The "打开录音文件夹" command: makes the recordings folder with its parents (a failure is
// ignored) and opens it in the desktop's file manager. Main thread.
void openRecordingsFolder();

}  // namespace pagemate
