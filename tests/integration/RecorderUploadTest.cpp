// The upload of a saved recording over real HTTP (the curl client) to the loopback
// stand-in service.

#include <random>
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
        std::mt19937 random(7);
        contents.resize(300000);
        for (char& byte : contents) {
            byte = static_cast<char>(random() & 0xFFU);
        }
        testing::writeFile(file, contents);
        service.on("/api/meeting/audio",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       {
                           const std::lock_guard lock(mutex);
                           targets.push_back(request.target);
                       }
                       response.status = status;
                       response.set_content(answer, "application/json");
                   });
    }

    // Uploads and waits for the completion, which must come on the main queue.
    std::optional<Answer> upload(const fs::path& path) {
        bool done = false;
        std::optional<Answer> result;
        const auto mainThread = std::this_thread::get_id();
        MeetingRecorder::uploadAudio(path, [&](std::optional<Answer> value) {
            EXPECT_EQ(std::this_thread::get_id(), mainThread);
            done = true;
            result = std::move(value);
        });
        EXPECT_FALSE(done);  // never inside the call
        EXPECT_TRUE(waitFor([&] { return done; }, 10s));
        return result;
    }
    std::vector<std::string> logged(const testing::LogCapture& capture) {
        return capture.messages();
    }

    testing::StandInService service;
    testing::TempDir folder;
    fs::path file = folder.path() / "会议录音 2025-03-07 14-05-09.m4a";
    std::string contents;
    std::mutex mutex;
    std::vector<std::string> targets;
    int status = 200;
    std::string answer;
};

TEST_F(RecorderUpload, SendsTheFileAsItIs) {
    platform.secrets.add("com.fernwick.pagemate", "app-password", "s3cret");
    answer = R"({"id":"file-1","filename":"周会.m4a"})";
    EXPECT_EQ(upload(file), (Answer{"file-1", "周会.m4a"}));
    EXPECT_EQ(log.messages(), std::vector<std::string>{"会议录音：已上传到 Notion（周会.m4a）"});

    const auto received = service.received();
    ASSERT_EQ(received.size(), 1u);
    const auto& request = received[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/api/meeting/audio");
    EXPECT_EQ(request.body, contents);
    EXPECT_EQ(request.header("Content-Type"), "audio/mp4");
    EXPECT_EQ(request.header("x-app-password"), "s3cret");
    EXPECT_EQ(request.query.at("name"), "会议录音 2025-03-07 14-05-09.m4a");
    EXPECT_EQ(request.query.at("type"), "audio/mp4");
    // As it went over the wire: the name percent-encoded, then the type.
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0],
              "/api/meeting/audio?name=%E4%BC%9A%E8%AE%AE%E5%BD%95%E9%9F%B3"
              "%202025-03-07%2014-05-09.m4a&type=audio/mp4");
    EXPECT_TRUE(fs::exists(file));  // kept whatever the answer

    // A name with the query's own characters stays one value.
    const fs::path odd = folder.path() / "a&b=c+d#e.m4a";
    testing::writeFile(odd, "x");
    EXPECT_TRUE(upload(odd));
    EXPECT_EQ(targets.back(), "/api/meeting/audio?name=a%26b%3Dc%2Bd%23e.m4a&type=audio/mp4");
}

TEST_F(RecorderUpload, AnswersWithoutAnIdGiveNothing) {
    answer = R"({"id":"file-2"})";
    EXPECT_EQ(upload(file), (Answer{"file-2", file.filename().string()}));
    EXPECT_TRUE(log.contains("会议录音：已上传到 Notion（" + file.filename().string() + "）"));

    for (const char* body : {R"({"id":""})", R"({"id":42,"filename":"x"})", R"({"filename":"x"})",
                             "[]", "not json", ""}) {
        const testing::LogCapture caseLog;
        answer = body;
        EXPECT_FALSE(upload(file)) << body;
        EXPECT_EQ(caseLog.messages(), std::vector<std::string>{"会议录音：上传返回里没有文件 id"})
            << body;
    }
}

TEST_F(RecorderUpload, FailuresAreLogged) {
    {  // only the first 200 characters of the body
        const testing::LogCapture caseLog;
        status = 404;
        answer.clear();
        for (int i = 0; i < 1000; ++i) {
            answer += "错";
        }
        EXPECT_FALSE(upload(file));
        std::string first;
        for (int i = 0; i < 200; ++i) {
            first += "错";
        }
        EXPECT_EQ(caseLog.messages(),
                  std::vector<std::string>{"会议录音：上传失败（HTTP 404）" + first});
    }
    {
        const testing::LogCapture caseLog;
        status = 500;
        answer = "Internal Server Error";
        EXPECT_FALSE(upload(file));
        EXPECT_EQ(caseLog.messages(),
                  std::vector<std::string>{"会议录音：上传失败（HTTP 500）Internal Server Error"});
    }
    {  // a body that is not UTF-8 is not quoted
        const testing::LogCapture caseLog;
        status = 502;
        answer = "\xFF\xFE";
        EXPECT_FALSE(upload(file));
        EXPECT_EQ(caseLog.messages(), std::vector<std::string>{"会议录音：上传失败（HTTP 502）"});
    }
    {  // nothing listens
        const testing::LogCapture caseLog;
        Settings::shared().setRuntimeBaseURL("http://127.0.0.1:" +
                                             std::to_string(testing::closedPort()));
        EXPECT_FALSE(upload(file));
        EXPECT_EQ(caseLog.messages(),
                  std::vector<std::string>{"会议录音：上传出错 —— 未能连接到服务器。"});
    }
    {  // the file has gone
        const testing::LogCapture caseLog;
        Settings::shared().setRuntimeBaseURL(service.base());
        EXPECT_FALSE(upload(folder.path() / "missing.m4a"));
        ASSERT_EQ(caseLog.messages().size(), 1u);
        EXPECT_TRUE(caseLog.messages()[0].starts_with("会议录音：上传出错 —— "));
    }
    {  // an address that cannot be formed: nothing is sent or logged
        const testing::LogCapture caseLog;
        const std::size_t before = service.received().size();
        Settings::shared().setRuntimeBaseURL("http://127.0.0.1:1/has space");
        EXPECT_FALSE(upload(file));
        EXPECT_TRUE(caseLog.messages().empty());
        EXPECT_EQ(service.received().size(), before);
    }
}

}  // namespace
}  // namespace pagemate
