#include "req_resp_handler.hpp"

#include "daemon_harness.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "log_capture.hpp"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zmq.h>

#include <mutex>
#include <thread>

using namespace ev_charging_platform::cybersecurity;
using ev_e2e::str;
using ev_e2e::u32;

namespace {

// Operations whose answers the test sets; records the calls it receives. The
// test thread sets answers while the server's thread reads them, so every
// field is reached under the fake's mutex.
class FakeOperations : public i_req_resp_cybersecurity_service_handler {
public:
    struct Answers {
        AddCertificateStatus addStatus = AddCertificateStatus::success;
        std::uint32_t addId = 0;
        RemoveCertificateStatus removeStatus = RemoveCertificateStatus::success;
        std::vector<ca_certificate_info> list;
        std::string text;
        std::vector<std::string> calls;
        std::vector<caller_credentials> callers;  // of the changes
    };

    template <typename Change>
    void set(Change change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(answers_);
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return answers_.calls;
    }
    std::vector<caller_credentials> callers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return answers_.callers;
    }

    AddCertificateStatus add_ca_certificate(const requester& who, const std::string& certificate,
                                            const std::string& name, std::uint32_t& id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.callers.push_back(who.credentials());
        answers_.calls.push_back("add " + certificate + " " + name + " " + std::to_string(id));
        if (answers_.addStatus == AddCertificateStatus::success) id = answers_.addId;
        return answers_.addStatus;
    }
    RemoveCertificateStatus remove_ca_certificate(const requester& who, std::uint32_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.callers.push_back(who.credentials());
        answers_.calls.push_back("remove " + std::to_string(id));
        return answers_.removeStatus;
    }
    std::vector<ca_certificate_info> get_ca_certificates(const requester&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.calls.push_back("list");
        return answers_.list;
    }
    std::string get_ca_certificate_by_id(const requester&, std::uint32_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.calls.push_back("id " + std::to_string(id));
        return answers_.text;
    }
    std::string get_ca_certificate_by_name(const requester&, const std::string& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.calls.push_back("name " + name);
        return answers_.text;
    }
    std::shared_ptr<const std::string> get_ca_certificate_details(const requester&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.calls.push_back("details");
        return std::make_shared<const std::string>(answers_.text);
    }
    RemoveCertificateStatus remove_ca_certificate_by_hash(
        const requester& who, const certificate_hash_data& data) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.callers.push_back(who.credentials());
        answers_.calls.push_back("remove by hash " + data.hash_algorithm + " " +
                                 data.issuer_name_hash + " " + data.issuer_key_hash + " " +
                                 data.serial_number);
        return answers_.removeStatus;
    }
    AddCertificateStatus add_ca_certificate_to_domain(const requester& who,
                                                      const std::string& domain,
                                                      const std::string& certificate,
                                                      const std::string& name,
                                                      std::uint32_t& id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.callers.push_back(who.credentials());
        answers_.calls.push_back("add to " + domain + " " + certificate + " " + name + " " +
                                 std::to_string(id));
        if (answers_.addStatus == AddCertificateStatus::success) id = answers_.addId;
        return answers_.addStatus;
    }
    std::int32_t apply_changes(const requester&, const std::string& changes,
                               std::string& result) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.calls.push_back("apply " + changes);
        result = answers_.text;
        return 3;
    }
    DistrustStatus distrust_builtin(const requester&, std::uint32_t id,
                                    const std::string& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.calls.push_back("distrust " + std::to_string(id) + " " + name);
        return DistrustStatus::already_distrusted;
    }
    DistrustStatus restore_builtin(const requester&, std::uint32_t id,
                                   const std::string& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.calls.push_back("restore " + std::to_string(id) + " " + name);
        return DistrustStatus::not_distrusted;
    }
    RemoveCertificateStatus confirm_csms_root(const requester& who, std::uint32_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.callers.push_back(who.credentials());
        answers_.calls.push_back("confirm " + std::to_string(id));
        return answers_.removeStatus;
    }
    std::string get_changes_since(const requester&, std::uint64_t since) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.calls.push_back("changes since " + std::to_string(since));
        return answers_.text;
    }
    VerifyStatus verify_certificate_chain(const requester&, const std::string& domains,
                                          const std::string& pem, const std::string& options,
                                          std::string& result) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.calls.push_back("verify " + domains + " " + pem + " " + options);
        result = answers_.text;
        return VerifyStatus::issuer_not_found;
    }

private:
    std::mutex mutex_;
    Answers answers_;
};

class RequestDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        ev_common::ZmqIpc_Init();
        endpoint_ = "ipc://" + (dir_ / "reqresp.api").string();
        handler_ =
            std::make_unique<req_resp_cybersecurity_service_handler>(&operations_, endpoint_);
        ASSERT_TRUE(handler_->start());
        client_ = std::make_unique<ev_e2e::RawClient>(endpoint_);
    }
    void TearDown() override {
        client_.reset();
        handler_.reset();
        ev_common::ZmqIpc_Term();
    }
    std::string exchange(const std::string& frame) {
        return client_->exchange(frame, std::chrono::seconds(20)).value_or("no reply");
    }

    // Outlives the server: its thread logs until the server is stopped.
    ev_test::LogCapture capture;
    ev_test::TempDir dir_;
    std::string endpoint_;
    FakeOperations operations_;
    std::unique_ptr<req_resp_cybersecurity_service_handler> handler_;
    std::unique_ptr<ev_e2e::RawClient> client_;
};

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

}  // namespace

TEST_F(RequestDispatch, DecodesEachOperationAndRepliesWithExactlyItsResultFields) {
    operations_.set([](auto& a) { a.removeStatus = RemoveCertificateStatus::unknown_id; });
    EXPECT_EQ(exchange(bytes({2, 0, 0, 0, 'a', 'b', 1, 0, 0, 0, 5, 0, 0, 0})), bytes({1, 0, 0, 0}));
    EXPECT_TRUE(capture.has(spdlog::level::debug, "[ab] operation : remove_ca_certificate"));

    EXPECT_EQ(exchange(bytes({2, 0, 0, 0, 'a', 'b', 2, 0, 0, 0})), bytes({0, 0, 0, 0}));

    operations_.set([](auto& a) { a.addStatus = AddCertificateStatus::already_exists; });
    EXPECT_EQ(exchange(str("ab") + u32(0) + str("PEM") + str("n")),
              bytes({3, 0, 0, 0, 0, 0, 0, 0}));
    operations_.set([](auto& a) {
        a.addStatus = AddCertificateStatus::success;
        a.addId = 0x01020304;
    });
    EXPECT_EQ(exchange(str("") + u32(0) + str("PEM") + str("n")), bytes({0, 0, 0, 0, 4, 3, 2, 1}));

    operations_.set([](auto& a) { a.text = "text"; });
    EXPECT_EQ(exchange(str("ab") + u32(3) + u32(9)), str("text"));
    EXPECT_EQ(exchange(str("ab") + u32(4) + str("who")), str("text"));
    operations_.set([](auto& a) { a.text.clear(); });
    EXPECT_EQ(exchange(str("ab") + u32(3) + u32(9)), bytes({0, 0, 0, 0}));

    operations_.set([](auto& a) {
        a.list = {{1, "a", true, "CN = A", 10, "", {}}, {2, "bb", false, "", -1, "", {}}};
    });
    const std::string listed = exchange(str("ab") + u32(2));
    EXPECT_EQ(listed.size(), 4u + (25 + 1 + 6) + (25 + 2));
    EXPECT_EQ(listed.substr(0, 4), u32(2));

    operations_.set([](auto& a) {
        a.text = R"({"generation":0,"certificates":[]})";
        a.removeStatus = RemoveCertificateStatus::built_in;
    });
    EXPECT_EQ(exchange(str("ab") + u32(5)), str(R"({"generation":0,"certificates":[]})"));
    EXPECT_EQ(exchange(str("ab") + u32(6) + str("SHA384") + str("AA") + str("bb") + str("0c")),
              bytes({2, 0, 0, 0}));
    EXPECT_TRUE(
        capture.has(spdlog::level::debug, "[ab] operation : remove_ca_certificate_by_hash"));
    operations_.set([](auto& a) { a.addStatus = AddCertificateStatus::store_full; });
    EXPECT_EQ(exchange(str("ab") + u32(7) + str("csms") + str("PEM") + str("n")),
              bytes({6, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(capture.has(spdlog::level::debug, "[ab] operation : add_ca_certificate_to_domain"));
    // A generation is eight bytes, little-endian.
    EXPECT_EQ(exchange(str("ab") + u32(8) + bytes({8, 7, 6, 5, 4, 3, 2, 1})),
              str(R"({"generation":0,"certificates":[]})"));
    EXPECT_EQ(exchange(str("ab") + u32(9) + u32(7)), bytes({2, 0, 0, 0}));
    EXPECT_TRUE(capture.has(spdlog::level::debug, "[ab] operation : confirm_csms_root"));
    operations_.set([](auto& a) { a.text = "{}"; });
    EXPECT_EQ(exchange(str("ab") + u32(10) + str("mo,v2g") + str("PEM") + str("")),
              u32(4) + str("{}"));
    EXPECT_TRUE(capture.has(spdlog::level::debug, "[ab] operation : verify_certificate_chain"));
    EXPECT_EQ(exchange(str("ab") + u32(11) + str("[]")), u32(3) + str("{}"));
    EXPECT_EQ(exchange(str("ab") + u32(12) + u32(7) + str("")), u32(3));
    EXPECT_EQ(exchange(str("ab") + u32(13) + u32(0) + str("root")), u32(4));

    // The identifier output starts at 0 before the call.
    EXPECT_EQ(operations_.calls(),
              (std::vector<std::string>{
                  "remove 5", "list", "add PEM n 0", "add PEM n 0", "id 9", "name who", "id 9",
                  "list", "details", "remove by hash SHA384 AA bb 0c", "add to csms PEM n 0",
                  "changes since 72623859790382856", "confirm 7", "verify mo,v2g PEM ", "apply []",
                  "distrust 7 ", "restore 0 root"}));
    // Changes are asked for on behalf of the client the kernel names.
    const auto callers = operations_.callers();
    ASSERT_EQ(callers.size(), 6u);
    for (const auto& caller : callers) {
        ASSERT_TRUE(caller.has_value());
        EXPECT_EQ(caller->uid, ::geteuid());
        EXPECT_EQ(caller->gid, ::getegid());
        EXPECT_EQ(caller->pid, ::getpid());
    }
    // The server logs the send after the reply has left, so wait for the line.
    const std::string sent = "Server " + endpoint_ + " : response sent (size = 63)";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!capture.has(sent) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(capture.has(spdlog::level::trace, sent));
}

TEST_F(RequestDispatch, QuotesAtMost256BytesOfTheClientIdentity) {
    const std::string identity(100000, 'i');
    EXPECT_EQ(exchange(str(identity) + u32(2)), bytes({0, 0, 0, 0}));
    EXPECT_TRUE(capture.has(spdlog::level::debug, "[" + std::string(256, 'i') +
                                                      "… (100000 bytes)] operation : "
                                                      "get_ca_certificates"));
}

TEST_F(RequestDispatch, RefusesUnreadableRequestsWithoutCallingAnOperation) {
    const std::string server = "Server " + endpoint_;
    EXPECT_EQ(exchange(str("ab") + "xy"), "");
    EXPECT_EQ(capture.count(server + " : deserialization error"), 1u);
    EXPECT_TRUE(capture.has(spdlog::level::err, "Unable to retrieve operation id"));

    // 14 and 200 are past the table.
    for (const std::uint32_t unknown : {14u, 200u}) {
        EXPECT_EQ(exchange(str("ab") + u32(unknown)), "");
        EXPECT_TRUE(
            capture.has(spdlog::level::warn, "Unknown operation : " + std::to_string(unknown)));
    }
    EXPECT_EQ(exchange(str("ab") + u32(0xffffffffu)), "");
    EXPECT_TRUE(capture.has(spdlog::level::warn, "Unknown operation : -1"));

    EXPECT_EQ(exchange(str("ab") + u32(0) + str("PEM") + u32(10) + "short"), "");
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Unable to retrieve parameters for operation : add_ca_certificate"));
    EXPECT_EQ(exchange(str("ab") + u32(1) + "123"), "");
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Unable to retrieve parameters for operation : remove_ca_certificate"));
    EXPECT_EQ(exchange(str("ab") + u32(4)), "");
    EXPECT_TRUE(
        capture.has(spdlog::level::err,
                    "Unable to retrieve parameters for operation : get_ca_certificate_by_name"));
    EXPECT_EQ(exchange(str("ab") + u32(6) + str("SHA256") + str("aa") + str("bb") + u32(4) + "0c"),
              "");
    EXPECT_TRUE(
        capture.has(spdlog::level::err,
                    "Unable to retrieve parameters for operation : remove_ca_certificate_by_hash"));
    EXPECT_EQ(exchange(str("ab") + u32(7) + str("csms") + str("PEM")), "");
    EXPECT_TRUE(
        capture.has(spdlog::level::err,
                    "Unable to retrieve parameters for operation : add_ca_certificate_to_domain"));
    EXPECT_EQ(capture.count(server + " : deserialization error"), 6u);
    EXPECT_TRUE(operations_.calls().empty());

    // Several frames in one message are refused before any operation is read.
    void* socket = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_REQ);
    const int timeout = 20000;
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
    ASSERT_EQ(zmq_connect(socket, endpoint_.c_str()), 0);
    const std::string list = str("ab") + u32(2);
    ASSERT_EQ(zmq_send(socket, "x", 1, ZMQ_SNDMORE), 1);
    ASSERT_EQ(zmq_send(socket, list.data(), list.size(), 0), static_cast<int>(list.size()));
    char reply[8];
    EXPECT_EQ(zmq_recv(socket, reply, sizeof reply, 0), 0);
    zmq_close(socket);
    EXPECT_TRUE(
        capture.has(spdlog::level::warn, server + " : multipart request of 2 frames refused"));
    EXPECT_TRUE(operations_.calls().empty());

    // The handler's start and stop report their refusals.
    EXPECT_FALSE(handler_->start());
    EXPECT_TRUE(capture.has(spdlog::level::err, "Unable to start IPC server"));
    EXPECT_TRUE(handler_->stop());
    EXPECT_FALSE(handler_->stop());
    EXPECT_TRUE(capture.has(spdlog::level::err, "Unable to stop IPC server"));
}
