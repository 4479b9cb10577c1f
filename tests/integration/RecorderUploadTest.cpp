// The upload of a saved recording over real HTTP (the curl client) to the loopback
// stand-in service. (A real recording's upload is MeetingWebTest's.)

#include <thread>

#include "integration/ServiceTestSupport.h"
#include "meeting/MeetingRecorder.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Answer = MeetingRecorder::UploadAnswer;

class RecorderUpload : public testing::ServiceTest {
  protected:
    RecorderUpload() {
        Settings::shared().setRuntimeBaseURL(service.base());
        testing::writeFile(file, contents);
        service.on("/api/meeting/audio",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       const std::lock_guard lock(mutex);
                       targets.push_back(request.target);
                       response.status = status;
                       response.set_content(answer, "application/json");
                   });
    }

    // Uploads; the answer must come later, on the main queue. The lines logged go to `lines`.
    std::optional<Answer> upload(const fs::path& path) {
        const testing::LogCapture capture;
        std::optional<std::optional<Answer>> result;
        const auto mainThread = std::this_thread::get_id();
        MeetingRecorder::uploadAudio(path, [&](std::optional<Answer> value) {
            EXPECT_EQ(std::this_thread::get_id(), mainThread);
            result = std::move(value);
        });
        EXPECT_FALSE(result);
        EXPECT_TRUE(waitFor([&] { return result.has_value(); }, 10s));
        lines = capture.messages();
        return result.value_or(std::nullopt);
    }

    testing::StandInService service;
    testing::TempDir folder;
    fs::path file = folder.path() / "会议录音 2025-03-07 14-05-09.m4a";
    std::string contents{"\0\xFF m4a bytes\r\n", 14};
    std::mutex mutex;
    std::vector<std::string> targets;
    int status = 200;
    std::string answer;
    std::vector<std::string> lines;
};

TEST_F(RecorderUpload, SendsTheFileAsItIsAndReadsTheAnswer) {
    platform.secrets.add("com.fernwick.pagemate", "app-password", "s3cret");
    answer = R"({"id":"file-1","filename":"周会.m4a"})";
    EXPECT_EQ(upload(file), (Answer{"file-1", "周会.m4a"}));
    EXPECT_EQ(lines, std::vector<std::string>{"会议录音：已上传到 Notion（周会.m4a）"});
    const auto received = service.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "POST");
    EXPECT_EQ(received[0].body, contents);
    EXPECT_EQ(received[0].header("Content-Type"), "audio/mp4");
    EXPECT_EQ(received[0].header("x-app-password"), "s3cret");
    // As it went over the wire: the name percent-encoded, then the type.
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0],
              "/api/meeting/audio?name=%E4%BC%9A%E8%AE%AE%E5%BD%95%E9%9F%B3"
              "%202025-03-07%2014-05-09.m4a&type=audio/mp4");
    EXPECT_TRUE(fs::exists(file));  // kept whatever the answer

    // A name with the query's own characters stays one value; an answer without a
    // name keeps the file's own.
    const fs::path odd = folder.path() / "a&b=c+d#e.m4a";
    testing::writeFile(odd, "x");
    answer = R"({"id":"file-2"})";
    EXPECT_EQ(upload(odd), (Answer{"file-2", "a&b=c+d#e.m4a"}));
    EXPECT_EQ(targets.back(), "/api/meeting/audio?name=a%26b%3Dc%2Bd%23e.m4a&type=audio/mp4");
}

TEST_F(RecorderUpload, WhatGoesWrongIsLoggedInOneLine) {
    std::string thousand;
    for (int i = 0; i < 1000; ++i) {
        thousand += "错";
    }
    // Only a body's first 200 characters are quoted, and one not in UTF-8 not at all.
    const std::vector<std::tuple<int, std::string, std::string>> cases = {
        {404, thousand, "会议录音：上传失败（HTTP 404）" + thousand.substr(0, 600)},
        {500, "Internal Server Error", "会议录音：上传失败（HTTP 500）Internal Server Error"},
        {502, "\xFF\xFE", "会议录音：上传失败（HTTP 502）"},
        {302, R"({"id":"moved"})", R"(会议录音：上传失败（HTTP 302）{"id":"moved"})"},
        {200, R"({"id":""})", "会议录音：上传返回里没有文件 id"},
        {200, R"({"id":42,"filename":"x"})", "会议录音：上传返回里没有文件 id"},
        {200, "not json", "会议录音：上传返回里没有文件 id"},
    };
    for (const auto& [code, body, line] : cases) {
        status = code;
        answer = body;
        EXPECT_FALSE(upload(file)) << line;
        EXPECT_EQ(lines, std::vector<std::string>{line});
    }
    // Nothing listens; the file has gone.
    Settings::shared().setRuntimeBaseURL("http://127.0.0.1:" +
                                         std::to_string(testing::closedPort()));
    EXPECT_FALSE(upload(file));
    EXPECT_EQ(lines, std::vector<std::string>{"会议录音：上传出错 —— 未能连接到服务器。"});
    Settings::shared().setRuntimeBaseURL(service.base());
    EXPECT_FALSE(upload(folder.path() / "missing.m4a"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("会议录音：上传出错 —— "));
}

}  // namespace
}  // namespace pagemate
