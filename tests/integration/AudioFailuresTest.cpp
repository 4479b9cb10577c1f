// What the audio backend does with what it cannot use: every failure is an AudioError
// with FFmpeg's status and words, nothing crashes, and FFmpeg writes nothing to the
// error stream meanwhile.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

#include "integration/AudioTestSupport.h"
#include "platform/linux/AvAudioCodecs.h"

namespace pagemate {
namespace {

using linux_backend::AvAudioCodecs;
using testing::readFile;
using testing::TempDir;

// FFmpeg's AVERROR_INVALIDDATA: the tag "INDA", negated.
constexpr std::int32_t invalidData =
    -static_cast<std::int32_t>('I' | ('N' << 8) | ('D' << 16) | (std::uint32_t{'A'} << 24));

template <typename Outcome>
AudioError errorOf(const Outcome& outcome) {
    const auto* error = std::get_if<AudioError>(&outcome);
    return error != nullptr ? *error : AudioError{0, "(no error)"};
}

TEST(AudioFailures, UnusableFilesAndFormatsAreErrorsWithAStatus) {
    const TempDir directory;
    AvAudioCodecs codecs;
    // FFmpeg's own messages would go to the error stream: a file meanwhile.
    const auto errors = directory.path() / "stderr.txt";
    static_cast<void>(std::fflush(stderr));
    const int saved = ::dup(2);
    const int file = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, 2);
    ::close(file);

    const AudioError missing = errorOf(codecs.openFile(directory.path() / "nothing.m4a"));
    EXPECT_EQ(missing.status, -ENOENT);
    EXPECT_NE(missing.description.find("No such file or directory"), std::string::npos)
        << missing.description;

    const auto text = directory.path() / "notes.m4a";
    testing::writeFile(text, "These are meeting notes, not a recording.\n");
    const AudioError notAudio = errorOf(codecs.openFile(text));
    EXPECT_EQ(notAudio.status, invalidData);

    // A file stands where a folder must go (the tests run as root, so a folder's
    // permissions would not stop the write).
    const auto blocker = directory.path() / "recordings";
    testing::writeFile(blocker, "a file");
    const AudioError unwritable =
        errorOf(codecs.createAacFile(blocker / "meeting.m4a", AacFileSettings{}));
    EXPECT_EQ(unwritable.status, -ENOTDIR);
    EXPECT_NE(unwritable.description.find("Not a directory"), std::string::npos)
        << unwritable.description;

    const AudioFormat meeting = AudioFormat::meeting();
    for (const AudioFormat& from : {AudioFormat{SampleType::float32, 0, 2, false},
                                    AudioFormat{SampleType::float32, std::nan(""), 1, false}}) {
        const AudioError error = errorOf(codecs.makeConverter(from, meeting));
        EXPECT_EQ(error.status, -EINVAL) << from.description();
        EXPECT_NE(error.description.find("Invalid argument"), std::string::npos)
            << error.description;
        EXPECT_EQ(errorOf(codecs.makeConverter(meeting, from)).status, -EINVAL)
            << from.description();
    }

    static_cast<void>(std::fflush(stderr));
    ::dup2(saved, 2);
    ::close(saved);
    EXPECT_EQ(readFile(errors), "");  // FFmpeg said nothing of all this
}

}  // namespace
}  // namespace pagemate
