// Publishing and subscribing: frames reach a subscriber in order, nothing a
// subscriber does (being absent, never reading) holds up the publisher, and
// the subscriber skips what is not one frame.
#include "ev_common/ipc/zmq_publisher.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "ev_common/ipc/zmq_subscriber.hpp"

#include "child_process.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <unistd.h>

#include <gtest/gtest.h>
#include <zmq.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace {

using ev_common::ZmqPublisher;
using ev_common::ZmqSubscriber;
using namespace std::chrono_literals;

class ZmqPublisherTest : public ::testing::Test {
protected:
    void SetUp() override { ev_common::ZmqIpc_Init(); }
    void TearDown() override { ev_common::ZmqIpc_Term(); }

    std::string endpoint() const { return "ipc://" + (dir / "events.api").string(); }

    // A subscriber is live once a probe gets through; probes still on their
    // way are skipped by next().
    static void waitForSubscription(ZmqPublisher& publisher, ZmqSubscriber& subscriber) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            publisher.publish("probe");
            if (subscriber.receive(50ms)) return;
        }
        FAIL() << "the subscription never got through";
    }
    static std::optional<std::string> next(ZmqSubscriber& subscriber) {
        for (;;) {
            auto frame = subscriber.receive(10s);
            if (!frame || *frame != "probe") return frame;
        }
    }

    ev_test::LogCapture capture;
    ev_test::TempDir dir;
};

TEST_F(ZmqPublisherTest, DeliversFramesInOrderAndNeverWaitsForASubscriber) {
    ev_common::ZmqPublisherOptions options;
    options.sendHighWaterMark = 10;
    ZmqPublisher publisher(endpoint(), options);
    EXPECT_FALSE(publisher.publish("before start"));
    ASSERT_TRUE(publisher.start()) << capture.dump();
    EXPECT_FALSE(publisher.start());
    EXPECT_TRUE(capture.has(spdlog::level::err, "Publisher " + endpoint() + ": already started"));

    // Nobody listens: every frame is dropped at once.
    for (int i = 0; i < 10000; ++i) publisher.publish("nobody");

    ZmqSubscriber reader(endpoint());
    ZmqSubscriber sleeper(endpoint());  // never reads: its queue fills up
    waitForSubscription(publisher, reader);
    waitForSubscription(publisher, sleeper);
    const std::string big(1024, 'x');
    for (int i = 0; i < 20000; ++i) publisher.publish(big);
    // What the reader's queue kept of the flood; the rest was dropped.
    while (reader.receive(50ms)) {
    }

    publisher.publish("one");
    publisher.publish(std::string("t\0o", 3));
    EXPECT_EQ(next(reader), "one");
    EXPECT_EQ(next(reader), std::string("t\0o", 3));
    EXPECT_EQ(reader.receive(20ms), std::nullopt);

    publisher.stop();
    EXPECT_FALSE(publisher.publish("after stop"));
    EXPECT_FALSE(publisher.isStarted());
}

TEST_F(ZmqPublisherTest, GreetsEachArrivingSubscriberWithTheLastGreeting) {
    ZmqPublisher publisher(endpoint());
    publisher.setGreeting({"old"});
    publisher.setGreeting({"first", "second"});
    ASSERT_TRUE(publisher.start()) << capture.dump();
    ZmqSubscriber early(endpoint());
    EXPECT_EQ(early.receive(10s), "first");
    EXPECT_EQ(early.receive(10s), "second");
    EXPECT_TRUE(early.isConnected());

    // A later one gets them too; the one already there once more.
    ZmqSubscriber late(endpoint());
    EXPECT_EQ(late.receive(10s), "first");
    EXPECT_EQ(late.receive(10s), "second");
    EXPECT_EQ(early.receive(10s), "first");

    // Gone and back: the subscriber notices and connects again.
    publisher.stop();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (late.isConnected() && std::chrono::steady_clock::now() < deadline) late.receive(50ms);
    EXPECT_FALSE(late.isConnected());
    ASSERT_TRUE(publisher.start()) << capture.dump();
    EXPECT_EQ(late.receive(10s), "first");
    EXPECT_TRUE(late.isConnected());
}

TEST_F(ZmqPublisherTest, ReportsAnEndpointThatCannotBeBound) {
    const std::string unreachable = "ipc://" + (dir / "missing" / "events.api").string();
    ZmqPublisher publisher(unreachable);
    EXPECT_FALSE(publisher.start());
    EXPECT_TRUE(capture.has(spdlog::level::err, "Publisher " + unreachable + ": unable to bind " +
                                                    unreachable + " : No such file or directory"))
        << capture.dump();
    EXPECT_FALSE(publisher.isStarted());
}

TEST_F(ZmqPublisherTest, SubscriberSkipsMessagesOfSeveralFrames) {
    void* raw = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_PUB);
    const int linger = 0;
    zmq_setsockopt(raw, ZMQ_LINGER, &linger, sizeof linger);
    ASSERT_EQ(zmq_bind(raw, endpoint().c_str()), 0);
    ZmqSubscriber subscriber(endpoint());
    std::optional<std::string> first;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!first && std::chrono::steady_clock::now() < deadline) {
        zmq_send(raw, "probe", 5, 0);
        first = subscriber.receive(50ms);
    }
    ASSERT_EQ(first, "probe");
    while (subscriber.receive(20ms)) {
    }
    zmq_send(raw, "head", 4, ZMQ_SNDMORE);
    zmq_send(raw, "tail", 4, 0);
    zmq_send(raw, "single", 6, 0);
    EXPECT_EQ(subscriber.receive(10s), "single");
    zmq_close(raw);
}

// A process of another user that binds the path (say, while the service is
// down) cannot feed the subscriber forged events.
TEST_F(ZmqPublisherTest, SubscriberTakesNoMessageFromAPublisherOfAnotherUser) {
    if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv") ||
        !std::filesystem::exists("/usr/bin/python3")) {
        GTEST_SKIP() << "needs root, setpriv and python3";
    }
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const std::string script =
        "import time, zmq\n"
        "s = zmq.Context().socket(zmq.PUB)\n"
        "s.bind('" +
        endpoint() +
        "')\n"
        "print('bound', flush=True)\n"
        "while True:\n"
        "    s.send(b'forged')\n"
        "    time.sleep(0.02)\n";
    ev_test::ChildProcess impostor(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c", script});
    ASSERT_TRUE(impostor.waitForStdout("bound")) << impostor.stderrText();

    ZmqSubscriber subscriber(endpoint());
    EXPECT_EQ(subscriber.receive(1500ms), std::nullopt);
    EXPECT_GT(subscriber.refusedConnections(), 1u) << "let go of and tried again";
    EXPECT_FALSE(subscriber.isConnected());

    // Named as the service's user, it is heard.
    subscriber.setPublisherOwner(65534);
    EXPECT_EQ(subscriber.receive(10s), "forged");
    impostor.signal(SIGKILL);
}

}  // namespace
