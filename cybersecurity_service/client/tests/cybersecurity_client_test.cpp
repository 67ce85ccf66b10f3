// The client against a fake service: a REP socket of the test that records
// every request frame and answers with canned bytes, including replies a
// sound service never sends.
#include "cybersecurity/cybersecurity_client.hpp"

#include "ev_common/system/user_database.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ev_charging_platform::cybersecurity::AddCertificateStatus;
using ev_charging_platform::cybersecurity::ca_certificate_info;
using ev_charging_platform::cybersecurity::cybersecurity_client;
using ev_charging_platform::cybersecurity::RemoveCertificateStatus;
using exchange_error = cybersecurity_client::exchange_error;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

std::string u32(std::uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    return out;
}

std::string str(const std::string& text) {
    return u32(static_cast<std::uint32_t>(text.size())) + text;
}

// One scripted answer: the frames of the reply, sent at once or, with
// `hold`, only after the test called release() (by then the client has
// given the request up).
struct answer {
    std::vector<std::string> frames;
    bool hold = false;
    // A service busy with the request for this long before it answers.
    std::chrono::milliseconds delay{0};
};

answer reply(const std::string& frame) {
    return {{frame}, false};
}

class fake_service {
public:
    fake_service(const std::string& endpoint, std::vector<answer> script)
        : socket_(context_, zmq::socket_type::rep) {
        socket_.set(zmq::sockopt::linger, 0);
        socket_.bind(endpoint);
        thread_ = std::thread([this, script = std::move(script)] { serve(script); });
    }
    ~fake_service() {
        release();
        thread_.join();
    }

    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    // Every request frame received so far, in order.
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void serve(const std::vector<answer>& script) {
        for (const answer& step : script) {
            zmq::pollitem_t item{static_cast<void*>(socket_), 0, ZMQ_POLLIN, 0};
            // Bounded, so a client that never sends ends the test instead of hanging it.
            if (zmq::poll(&item, 1, 20s) == 0) return;
            zmq::message_t request;
            if (!socket_.recv(request)) return;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                requests_.push_back(request.to_string());
                if (step.hold) changed_.wait_for(lock, 60s, [this] { return released_; });
            }
            std::this_thread::sleep_for(step.delay);
            for (std::size_t i = 0; i < step.frames.size(); ++i) {
                const auto more =
                    i + 1 < step.frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none;
                socket_.send(zmq::buffer(step.frames[i]), more);
            }
        }
    }

    zmq::context_t context_;
    zmq::socket_t socket_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    std::vector<std::string> requests_;
    std::thread thread_;
};

class CybersecurityClient : public ::testing::Test {
protected:
    std::string endpoint() const { return "ipc://" + (dir / "fake.reqresp.api").string(); }
    // Identity "ab", as in the protocol's byte examples.
    cybersecurity_client client(std::chrono::milliseconds timeout = 20s) const {
        return cybersecurity_client(endpoint(), timeout, "ab");
    }

    ev_test::TempDir dir;
};

TEST_F(CybersecurityClient, SendsTheRequestFramesOfEveryOperation) {
    const std::string pem = "-----BEGIN CERTIFICATE-----\nAA==\n-----END CERTIFICATE-----\n";
    fake_service service(endpoint(), {reply(""), reply(bytes({0, 0, 0, 0, 0x2a, 0, 0, 0})),
                                      reply(bytes({0, 0, 0, 0})), reply(bytes({0, 0, 0, 0})),
                                      reply(bytes({0, 0, 0, 0})), reply(bytes({0, 0, 0, 0}))});
    auto c = cybersecurity_client(endpoint(), 20s, "ab");
    std::uint32_t id = 0;
    EXPECT_TRUE(c.ping());
    EXPECT_EQ(c.add_ca_certificate(pem, "my_ca", id), AddCertificateStatus::success);
    EXPECT_EQ(id, 42u);
    EXPECT_EQ(c.remove_ca_certificate(5), RemoveCertificateStatus::success);
    EXPECT_TRUE(c.get_ca_certificates().has_value());
    EXPECT_TRUE(c.get_ca_certificate_by_id(0x01020304).has_value());
    EXPECT_TRUE(c.get_ca_certificate_by_name("my_ca").has_value());
    EXPECT_EQ(c.last_error(), exchange_error::none);

    const auto frames = service.requests();
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0], "");
    EXPECT_EQ(frames[1], str("ab") + u32(0) + str(pem) + str("my_ca"));
    EXPECT_EQ(frames[2], bytes({0x02, 0, 0, 0, 0x61, 0x62, 0x01, 0, 0, 0, 0x05, 0, 0, 0}));
    EXPECT_EQ(frames[3], bytes({0x02, 0, 0, 0, 0x61, 0x62, 0x02, 0, 0, 0}));
    EXPECT_EQ(frames[4], bytes({0x02, 0, 0, 0, 0x61, 0x62, 0x03, 0, 0, 0, 4, 3, 2, 1}));
    EXPECT_EQ(frames[5], str("ab") + u32(4) + str("my_ca"));
}

TEST_F(CybersecurityClient, SpeaksTheDetailsAndTheRemovalByHashData) {
    const std::string details = R"({"generation":4,"certificates":[]})";
    fake_service service(endpoint(), {reply(str(details)), reply(""), reply(bytes({1, 0, 0, 0})),
                                      reply(str(details) + "x"), reply(str(""))});
    auto c = client();
    EXPECT_EQ(c.get_ca_certificate_details(), std::optional<std::string>(details));
    // What a service without the operation answers; the tool then lists the old way.
    EXPECT_EQ(c.get_ca_certificate_details(), std::nullopt);
    EXPECT_EQ(c.last_error(), exchange_error::empty_reply);
    EXPECT_EQ(c.remove_ca_certificate_by_hash({"SHA256", "AA", "bb", "01"}),
              RemoveCertificateStatus::unknown_id);
    std::string reused = "left from before";
    EXPECT_FALSE(c.get_ca_certificate_details(reused));
    EXPECT_EQ(c.last_error(), exchange_error::invalid_reply);
    EXPECT_TRUE(c.get_ca_certificate_details(reused));
    EXPECT_EQ(reused, "");

    const auto frames = service.requests();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0], str("ab") + u32(5));
    EXPECT_EQ(frames[2], str("ab") + u32(6) + str("SHA256") + str("AA") + str("bb") + str("01"));
}

TEST_F(CybersecurityClient, ReadsTheRepliesOfTheProtocolExamples) {
    fake_service service(endpoint(), {
                                         reply(bytes({1, 0, 0, 0})),
                                         reply(bytes({0, 0, 0, 0})),
                                         reply(bytes({0, 0, 0, 0})),
                                         reply(bytes({3, 0, 0, 0, 0, 0, 0, 0})),
                                         reply(bytes({2, 0, 0, 0})),
                                         reply(str("PEM TEXT")),
                                     });
    auto c = client();
    EXPECT_EQ(c.remove_ca_certificate(5), RemoveCertificateStatus::unknown_id);

    const auto empty_store = c.get_ca_certificates();
    ASSERT_TRUE(empty_store.has_value());
    EXPECT_TRUE(empty_store->empty());

    const auto unknown = c.get_ca_certificate_by_id(9);
    ASSERT_TRUE(unknown.has_value()) << "no such certificate is an answer, not a failure";
    EXPECT_EQ(*unknown, "");

    std::uint32_t id = 77;
    EXPECT_EQ(c.add_ca_certificate("x", "n", id), AddCertificateStatus::already_exists);
    EXPECT_EQ(id, 77u) << "the identifier of a refused addition must not be used";

    EXPECT_EQ(c.remove_ca_certificate(1), RemoveCertificateStatus::built_in);
    EXPECT_EQ(c.get_ca_certificate_by_name("n"), std::optional<std::string>("PEM TEXT"));
}

TEST_F(CybersecurityClient, ReadsEveryRecordOfAListingAndSkipsTheirExtraFields) {
    const std::string first = u32(1) + str("ACCVRAIZ1") + bytes({1}) + str("CN=ACCVRAIZ1") +
                              u32(0x80000000u) + str("") + str("");
    // Content in the two spare fields is skipped, a bool byte other than 1 is true.
    const std::string second = u32(200) + str("mine") + bytes({0}) + str("CN=mine,O=Us") +
                               u32(1700000000) + str("note") + str(bytes({9, 8, 7}));
    const std::string third =
        u32(201) + str("") + bytes({2}) + str("") + u32(0) + str("") + str("");
    fake_service service(endpoint(), {reply(u32(3) + first + second + third)});
    auto c = client();
    const auto list = c.get_ca_certificates();
    ASSERT_TRUE(list.has_value()) << c.last_error_text();
    ASSERT_EQ(list->size(), 3u);
    const ca_certificate_info& a = (*list)[0];
    EXPECT_EQ(a.id, 1u);
    EXPECT_EQ(a.name, "ACCVRAIZ1");
    EXPECT_TRUE(a.built_in);
    EXPECT_EQ(a.subject, "CN=ACCVRAIZ1");
    EXPECT_EQ(a.not_after, INT32_MIN);
    const ca_certificate_info& b = (*list)[1];
    EXPECT_EQ(b.id, 200u);
    EXPECT_FALSE(b.built_in);
    EXPECT_EQ(b.subject, "CN=mine,O=Us");
    EXPECT_EQ(b.not_after, 1700000000);
    EXPECT_EQ(b.additional_text, "note");
    EXPECT_EQ(b.additional_data, (std::vector<std::uint8_t>{9, 8, 7}));
    EXPECT_TRUE((*list)[2].built_in);
}

TEST_F(CybersecurityClient, ReportsAnEmptyReplyAsAnIpcErrorOfEveryOperation) {
    fake_service service(endpoint(), std::vector<answer>(5, reply("")));
    auto c = client();
    std::uint32_t id = 5;
    EXPECT_EQ(c.add_ca_certificate("x", "n", id), AddCertificateStatus::ipc_error);
    EXPECT_EQ(c.last_error(), exchange_error::empty_reply);
    EXPECT_EQ(id, 5u);
    EXPECT_EQ(c.remove_ca_certificate(5), RemoveCertificateStatus::ipc_error);
    EXPECT_EQ(c.last_error(), exchange_error::empty_reply);
    EXPECT_FALSE(c.get_ca_certificates().has_value());
    EXPECT_FALSE(c.get_ca_certificate_by_id(1).has_value());
    EXPECT_FALSE(c.get_ca_certificate_by_name("n").has_value());
    EXPECT_EQ(c.last_error(), exchange_error::empty_reply);
    EXPECT_NE(c.last_error_text().find("empty reply"), std::string::npos);
}

TEST_F(CybersecurityClient, RefusesRepliesThatAreShortLongOrInSeveralFrames) {
    fake_service service(
        endpoint(), {
                        reply(bytes({0, 0, 0})),                    // add: status cut short
                        reply(bytes({0, 0, 0, 0, 1, 0, 0, 0, 0})),  // add: a byte left over
                        reply(bytes({0, 0, 0, 0, 0})),              // remove: a byte left over
                        reply(u32(2) + u32(1) + str("a") + bytes({1}) + str("s") + u32(0) +
                              str("") + str("")),   // list: one record of two
                        reply(u32(0xffffffffu)),    // list: absurd count
                        reply(u32(100) + "short"),  // get: text runs past the frame
                        reply(str("PEM") + "x"),    // get: a byte left over
                        reply("pong"),              // ping: not empty
                        {{bytes({0, 0, 0, 0}), bytes({0, 0, 0, 0})}, false},  // remove: two frames
                        reply(bytes({0, 0, 0, 0})),  // and the socket still works
                    });
    auto c = client();
    std::uint32_t id = 9;
    EXPECT_EQ(c.add_ca_certificate("x", "n", id), AddCertificateStatus::ipc_error);
    EXPECT_EQ(c.add_ca_certificate("x", "n", id), AddCertificateStatus::ipc_error);
    EXPECT_EQ(id, 9u);
    EXPECT_EQ(c.remove_ca_certificate(1), RemoveCertificateStatus::ipc_error);
    EXPECT_EQ(c.last_error(), exchange_error::invalid_reply);
    EXPECT_FALSE(c.get_ca_certificates().has_value());
    EXPECT_FALSE(c.get_ca_certificates().has_value());
    EXPECT_FALSE(c.get_ca_certificate_by_id(1).has_value());
    EXPECT_FALSE(c.get_ca_certificate_by_name("n").has_value());
    EXPECT_EQ(c.last_error(), exchange_error::invalid_reply);
    EXPECT_FALSE(c.ping());
    EXPECT_EQ(c.last_error(), exchange_error::invalid_reply);
    EXPECT_EQ(c.remove_ca_certificate(1), RemoveCertificateStatus::ipc_error);
    EXPECT_EQ(c.last_error(), exchange_error::invalid_reply);
    EXPECT_EQ(c.remove_ca_certificate(1), RemoveCertificateStatus::success);
    EXPECT_EQ(service.requests().size(), 10u);
}

TEST_F(CybersecurityClient, GivesUpAfterTheTimeOutAndTheNextCallGetsItsOwnReply) {
    // The late answer to the abandoned request would pass for a valid
    // "unknown_id" if it reached the next call.
    fake_service service(endpoint(), {{{bytes({1, 0, 0, 0})}, true}, reply(bytes({0, 0, 0, 0}))});
    auto c = client(300ms);
    EXPECT_EQ(c.remove_ca_certificate(5), RemoveCertificateStatus::ipc_error);
    EXPECT_EQ(c.last_error(), exchange_error::no_reply);
    EXPECT_NE(c.last_error_text().find("no answer from " + endpoint() + " within 300 ms"),
              std::string::npos)
        << c.last_error_text();
    service.release();

    c.set_timeout(20s);
    EXPECT_EQ(c.remove_ca_certificate(6), RemoveCertificateStatus::success);
    EXPECT_EQ(c.last_error(), exchange_error::none);
    const auto frames = service.requests();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], bytes({0x02, 0, 0, 0, 0x61, 0x62, 0x01, 0, 0, 0, 0x06, 0, 0, 0}));
}

TEST_F(CybersecurityClient, ReachesAServiceThatStartsAfterAFailedCall) {
    auto c = client(200ms);
    EXPECT_FALSE(c.ping());
    EXPECT_EQ(c.last_error(), exchange_error::no_reply);
    EXPECT_FALSE(c.get_ca_certificates().has_value());

    fake_service service(endpoint(), {reply(""), reply(u32(0))});
    c.set_timeout(20s);
    EXPECT_TRUE(c.ping()) << c.last_error_text();
    EXPECT_TRUE(c.get_ca_certificates().has_value()) << c.last_error_text();
}

TEST_F(CybersecurityClient, ReportsAnEndpointTheTransportRefusesAsAFailedCall) {
    cybersecurity_client c("nosuchtransport://x", 200ms, "ab");
    EXPECT_FALSE(c.ping());
    EXPECT_EQ(c.last_error(), exchange_error::send_failed);
    EXPECT_EQ(c.last_error_text().rfind("cannot reach nosuchtransport://x: ", 0), 0u)
        << c.last_error_text();
    EXPECT_EQ(c.remove_ca_certificate(1), RemoveCertificateStatus::ipc_error);
}

TEST_F(CybersecurityClient, SendsNothingToAnEndpointItsOwnerDidNotMake) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the socket file away";
    fake_service service(endpoint(), {reply(u32(0))});
    const std::string path = (dir / "fake.reqresp.api").string();
    auto c = client(2s);
    const std::string refusal = "not talking to " + endpoint() + ": " + path;

    ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0);
    const auto name = ev_common::findUserName(65534);
    const std::string nobody = "uid 65534" + (name ? " (" + *name + ")" : std::string());
    EXPECT_FALSE(c.get_ca_certificates().has_value());
    EXPECT_EQ(c.last_error(), exchange_error::untrusted_endpoint);
    EXPECT_EQ(c.last_error_text(), refusal + " is owned by " + nobody + ", not root");
    c.set_endpoint_owner(1);
    EXPECT_FALSE(c.ping());
    const auto one = ev_common::findUserName(1);
    EXPECT_EQ(c.last_error_text(), refusal + " is owned by " + nobody + ", not uid 1" +
                                       (one ? " (" + *one + ")" : std::string()) + " or root");

    ASSERT_EQ(::lchown(path.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    EXPECT_EQ(c.remove_ca_certificate(1), RemoveCertificateStatus::ipc_error);
    EXPECT_EQ(c.last_error_text(), refusal + " is writable by every user (mode 0666)");
    EXPECT_TRUE(service.requests().empty());

    // The owner the caller names, and root, are trusted.
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0);
    c.set_endpoint_owner(65534);
    EXPECT_TRUE(c.get_ca_certificates().has_value()) << c.last_error_text();
    EXPECT_EQ(service.requests().size(), 1u);

    const std::string file = (dir / "plain.api").string();
    ev_test::writeFile(file, "");
    cybersecurity_client plain("ipc://" + file, 2s, "ab");
    EXPECT_FALSE(plain.ping());
    EXPECT_EQ(plain.last_error_text(),
              "not talking to ipc://" + file + ": " + file + " is not a socket");
}

TEST(CybersecurityClientIdentity, NamesTheProcessByDefault) {
    EXPECT_EQ(cybersecurity_client::default_identity(),
              "cybersecurity_client-" + std::to_string(::getpid()));
}

}  // namespace

// A change runs the service's update tool: it is waited for far longer than
// a read, and one that was sent but not answered is reported as possibly
// still being carried out.
TEST_F(CybersecurityClient, ChangesWaitLongerThanReadsAndAnUnansweredChangeMayStillBeDone) {
    const cybersecurity_client defaults(endpoint(), std::nullopt, "ab");
    EXPECT_EQ(defaults.timeout(), 5000ms);
    EXPECT_EQ(defaults.change_timeout(), 130000ms);

    answer slow_add = reply(bytes({0, 0, 0, 0, 7, 0, 0, 0}));
    slow_add.delay = 600ms;
    answer slow_read = reply(bytes({0, 0, 0, 0}));
    slow_read.delay = 600ms;
    fake_service service(endpoint(), {slow_add, slow_read, answer{{bytes({0, 0, 0, 0})}, true}});
    auto c = cybersecurity_client(endpoint(), std::nullopt, "ab");
    c.set_timeout(200ms);
    c.set_change_timeout(10s);
    std::uint32_t id = 0;
    EXPECT_EQ(c.add_ca_certificate("pem", "my_ca", id), AddCertificateStatus::success);
    EXPECT_EQ(id, 7u);
    EXPECT_FALSE(c.get_ca_certificates().has_value());
    EXPECT_EQ(c.last_error(), exchange_error::no_reply);
    EXPECT_NE(c.last_error_text().find("within 200 ms (is the service running?)"),
              std::string::npos);

    c.set_change_timeout(300ms);
    EXPECT_EQ(c.remove_ca_certificate(7), RemoveCertificateStatus::ipc_error);
    EXPECT_TRUE(c.last_call_was_change());
    EXPECT_NE(c.last_error_text().find("within 300 ms: the change may still be carried out"),
              std::string::npos)
        << c.last_error_text();
}
