#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string_view>
#include <thread>

#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/outbound_queue.h"
#include "sys/sys.h"
#include "test_support.h"

namespace ruk::protocol {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A connected pair; reads on the second end give up after 10 s, so a fault
// fails the test instead of hanging it.
std::pair<Fd, Fd> socket_pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    timeval timeout{.tv_sec = 10, .tv_usec = 0};
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return {Fd(fds[0]), Fd(fds[1])};
}

// The read end of a stream that a thread writes: the bytes in pieces of the
// given sizes (cycled; empty: one write), then the end. Dropping it first
// shuts the read end down, so a writer still blocked (the test failed early)
// gets an error instead of hanging the test.
struct Fed {
    Fd fd;
    std::jthread writer;
    Fed(Fd read_end, std::jthread thread) : fd(std::move(read_end)), writer(std::move(thread)) {}
    Fed(Fed&&) = default;
    ~Fed() { ::shutdown(fd.get(), SHUT_RDWR); }
    int get() const { return fd.get(); }
};

Fed feed(Bytes bytes, std::vector<size_t> pieces = {}) {
    auto [ours, theirs] = socket_pair();
    return Fed(std::move(theirs), std::jthread([fd = std::move(ours), bytes = std::move(bytes),
                                                pieces = std::move(pieces)] {
        size_t at = 0;
        for (size_t i = 0; at < bytes.size(); ++i) {
            const size_t n = pieces.empty() ? bytes.size() : std::min(pieces[i % pieces.size()], bytes.size() - at);
            if (!write_whole(fd.get(), std::span(bytes).subspan(at, n))) return;
            at += n;
        }
    }));
}

Bytes head(uint8_t tag, uint32_t n) {
    return {tag, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
}

Bytes pattern(size_t n, unsigned seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t((i * 7 + seed) % 251);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---- frames ------------------------------------------------------------------

struct StreamCase {
    const char* name;
    Bytes stream;
    std::vector<Frame> want;   // frames before the end
    std::string_view error;    // empty: a clean end follows them
};

std::vector<StreamCase> stream_cases() {
    const Bytes big = pattern(200000, 1);  // larger than the read-ahead buffer
    return {
        {"empty stream", {}, {}, ""},
        {"several frames", concat({encode_frame(2, B("abc")), encode_frame(4, {}), encode_frame(9, B("\0"sv))}),
         {{2, B("abc")}, {4, {}}, {9, B("\0"sv)}}, ""},
        {"large frame between small ones",
         concat({encode_frame(1, B("x")), encode_frame(1, big), encode_frame(3, B("yz"))}),
         {{1, B("x")}, {1, big}, {3, B("yz")}}, ""},
        {"cut inside the first head", B("\x02\x00\x00"sv), {}, "unexpected end of data"},
        {"cut inside a later head", concat({encode_frame(2, B("a")), B("\x02"sv)}), {{2, B("a")}},
         "unexpected end of data"},
        {"cut inside a payload", concat({head(2, 5), B("abc")}), {}, "unexpected end of data"},
        {"cut inside a large payload", concat({head(1, 100000), pattern(70000, 2)}), {}, "unexpected end of data"},
        {"one byte over the cap", head(1, MAX_FRAME_PAYLOAD + 1), {}, "frame too large"},
        {"largest length", head(1, 0xFFFFFFFF), {}, "frame too large"},
    };
}

// Both readers, over the stream written in one go and dribbled in tiny pieces.
TEST(Frame, ReadsStreams) {
    const std::vector<std::vector<size_t>> writes = {{}, {1, 2, 3, 1, 5, 7, 4093}};
    for (const auto& c : stream_cases()) {
        for (const auto& pieces : writes) {
            for (const bool buffered : {true, false}) {
                SCOPED_TRACE(std::string(c.name) + (pieces.empty() ? ", one write" : ", dribbled") +
                             (buffered ? ", FrameReader" : ", read_frame"));
                const Fed theirs = feed(c.stream, pieces);
                FrameReader reader(theirs.get());
                auto next = [&] { return buffered ? reader.next() : read_frame(theirs.get()); };
                for (const auto& want : c.want) {
                    auto got = next();
                    ASSERT_TRUE(got && *got) << (got ? "clean end" : got.error().message);
                    EXPECT_EQ((*got)->tag, want.tag);
                    EXPECT_TRUE((*got)->payload == want.payload) << "payload of " << (*got)->payload.size();
                }
                auto end = next();
                if (c.error.empty()) {
                    ASSERT_TRUE(end) << end.error().message;
                    EXPECT_FALSE(*end);
                } else {
                    ASSERT_FALSE(end);
                    EXPECT_EQ(end.error().message, c.error);
                }
            }
        }
    }
}

// The non-blocking assembler over the same streams, pushed whole and in pieces.
TEST(Frame, AssemblesStreamsFromPieces) {
    for (const auto& c : stream_cases()) {
        for (const size_t piece : {size_t(0), size_t(1), size_t(3), size_t(4093)}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            FrameAssembler assembler;
            std::vector<Frame> got;
            std::string error;
            const size_t step = piece == 0 ? std::max<size_t>(c.stream.size(), 1) : piece;
            for (size_t at = 0; at < c.stream.size() && error.empty(); at += step) {
                const size_t n = std::min(step, c.stream.size() - at);
                assembler.push(std::span(c.stream).subspan(at, n));
                while (true) {
                    auto frame = assembler.next();
                    if (!frame) {
                        error = frame.error().message;
                        break;
                    }
                    if (!*frame) break;
                    got.push_back(std::move(**frame));
                }
            }
            if (error.empty() && assembler.partial()) error = "unexpected end of data";
            ASSERT_EQ(got.size(), c.want.size());
            for (size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].tag, c.want[i].tag);
                EXPECT_TRUE(got[i].payload == c.want[i].payload);
            }
            EXPECT_EQ(error, c.error);
        }
    }
}

TEST(Frame, AcceptsTheLargestPayload) {
    const Bytes payload = pattern(MAX_FRAME_PAYLOAD, 3);
    for (const bool buffered : {true, false}) {
        SCOPED_TRACE(buffered ? "FrameReader" : "read_frame");
        const Fed theirs = feed(encode_frame(1, payload));
        FrameReader reader(theirs.get());
        auto got = buffered ? reader.next() : read_frame(theirs.get());
        ASSERT_TRUE(got && *got);
        EXPECT_TRUE((*got)->payload == payload);
    }
}

// ---- messages ------------------------------------------------------------------

// The exact bytes, so that a byte-order mistake made the same way on both sides
// still shows.
TEST(Messages, EncodeExactly) {
    struct Case {
        ClientMessage client;
        std::string_view want;
    } client_cases[] = {
        {client::Attach{0x0102, 0x0304}, "\x01\0\0\0\x04\x01\x02\x03\x04"sv},
        {client::Resize{24, 80}, "\x03\0\0\0\x04\0\x18\0\x50"sv},
        {client::KillServer{}, "\x04\0\0\0\0"sv},
        {client::Command{}, "\x05\0\0\0\0"sv},
        {client::Command{{""}}, "\x05\0\0\0\0"sv},
        {client::Command{{"rename", "", "x"}}, "\x05\0\0\0\x09rename\0\0x"sv},
        {client::PeerInput{0x0A0B0C0D, B("hi")}, "\x07\0\0\0\x06\x0A\x0B\x0C\x0Dhi"sv},
    };
    for (const auto& c : client_cases) EXPECT_EQ(encode_client_message(c.client), B(c.want));

    struct ServerCase {
        ServerMessage server;
        std::string_view want;
    } server_cases[] = {
        {server::Reply{true, "ok"}, "\x03\0\0\0\x03\x01ok"sv},
        {server::Reply{false, ""}, "\x03\0\0\0\x01\0"sv},
        {server::PeerOutput{7, server::Size{0x0102, 0x0304}, B("z")}, "\x05\0\0\0\x0A\0\0\0\x07\x01\x01\x02\x03\x04z"sv},
        {server::PeerOutput{7, std::nullopt, {}}, "\x05\0\0\0\x09\0\0\0\x07\0\0\0\0\0"sv},
    };
    for (const auto& c : server_cases) EXPECT_EQ(encode_server_message(c.server), B(c.want));
}

// Every message written into one stream, read back in order; `want` where the
// decoded form differs from what was sent.
TEST(Messages, RoundTripThroughAStream) {
    struct ClientCase {
        ClientMessage sent;
        std::optional<ClientMessage> want;
    };
    const std::vector<ClientCase> client_cases = {
        {client::Attach{50, 200}, {}},
        {client::Attach{65535, 0}, {}},
        {client::Input{}, {}},
        {client::Input{B("\x1b[A\0\xff"sv)}, {}},
        {client::Input{pattern(100000, 4)}, {}},
        {client::Resize{1, 1}, {}},
        {client::KillServer{}, {}},
        {client::Command{{"send", "build", "hello world"}}, {}},
        {client::Command{{"a", "", "b"}}, {}},
        {client::Command{{"", "x"}}, {}},
        {client::Command{{"x", ""}}, {}},
        {client::Command{{""}}, client::Command{}},
        {client::Command{{"a\0b"s, "c"}}, client::Command{{"a", "b", "c"}}},
        {client::Command{{"\xff\xfeok"}}, client::Command{{"\uFFFD\uFFFDok"}}},
        {client::Peer{peer_request::Hello{2}}, {}},
        {client::Peer{peer_request::NewWindow{.near = 3, .rows = 23, .cols = 55, .agent = NewAgent{"pi", {"-c"}, std::nullopt, "/src"}, .request = 9}}, {}},
        {client::PeerInput{0xFFFFFFFF, {}}, {}},
        {client::PeerInput{3, B("ls\r")}, {}},
    };
    struct ServerCase {
        ServerMessage sent;
        std::optional<ServerMessage> want;
    };
    const std::vector<ServerCase> server_cases = {
        {server::Output{}, {}},
        {server::Output{pattern(70000, 5)}, {}},
        {server::Detach{"detached (attached elsewhere)"}, {}},
        {server::Detach{""}, {}},
        {server::Detach{"bad \xc3"}, server::Detach{"bad \uFFFD"}},
        {server::Reply{true, "delivered to 'build'"}, {}},
        {server::Reply{false, ""}, {}},
        {server::Reply{false, "x\xe2\x82"}, server::Reply{false, "x\uFFFD"}},
        {server::Peer{peer_event::Welcome{.version = 2, .instance = "00ff", .features = {"new-agent"}, .build = 7, .release = "0.1.4"}}, {}},
        {server::Peer{peer_event::Created{.window = 4, .request = 7, .name = "claude"}}, {}},
        {server::PeerOutput{1, server::Size{24, 80}, B("\x1b[H")}, {}},
        {server::PeerOutput{2, std::nullopt, {}}, {}},
        {server::PeerOutput{0, server::Size{0, 0}, B("a")}, {}},
    };

    {
        Bytes stream;
        for (const auto& c : client_cases) {
            const Bytes frame = encode_client_message(c.sent);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        const Fed theirs = feed(stream);
        FrameReader reader(theirs.get());
        for (size_t i = 0; i < client_cases.size(); ++i) {
            SCOPED_TRACE("client case " + std::to_string(i));
            auto got = read_client_message(reader);
            ASSERT_TRUE(got && *got) << (got ? "clean end" : got.error().message);
            EXPECT_TRUE(**got == client_cases[i].want.value_or(client_cases[i].sent));
        }
        auto end = read_client_message(reader);
        ASSERT_TRUE(end);
        EXPECT_FALSE(*end);
    }
    {
        Bytes stream;
        for (const auto& c : server_cases) {
            const Bytes frame = encode_server_message(c.sent);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        const Fed theirs = feed(stream, {3, 1, 4096});
        FrameReader reader(theirs.get());
        for (size_t i = 0; i < server_cases.size(); ++i) {
            SCOPED_TRACE("server case " + std::to_string(i));
            auto got = read_server_message(reader);
            ASSERT_TRUE(got && *got) << (got ? "clean end" : got.error().message);
            EXPECT_TRUE(**got == server_cases[i].want.value_or(server_cases[i].sent));
        }
        auto end = read_server_message(reader);
        ASSERT_TRUE(end);
        EXPECT_FALSE(*end);
    }
}

// Payloads that no encoder of ours produces.
TEST(Messages, DecodeForeignPayloads) {
    struct ClientCase {
        uint8_t tag;
        std::string_view payload;
        std::optional<ClientMessage> want;
        std::string_view error;
    } client_cases[] = {
        {0, "", {}, "unknown client message"},
        {8, "", {}, "unknown client message"},
        {1, "\0\x18\0"sv, {}, "bad size payload"},
        {1, "\0\x18\0\x50\0"sv, {}, "bad size payload"},
        {3, "", {}, "bad size payload"},
        {7, "\0\0\0"sv, {}, "short payload"},
        {7, "\0\0\0\x05"sv, client::PeerInput{5, {}}, ""},
        {4, "ignored", client::KillServer{}, ""},
        {5, "a\0\0b"sv, client::Command{{"a", "", "b"}}, ""},
        {6, R"({"version":2,"type":"hello","later":[1]})", client::Peer{peer_request::Hello{2}}, ""},
        {6, R"({"type":"view","window":1,"cols":80})", {}, "missing field `rows`"},
        {6, "not json", {},
         "parse error at line 1, column 2: syntax error while parsing value - invalid literal; last read: 'no'"},
    };
    for (const auto& c : client_cases) {
        SCOPED_TRACE("client tag " + std::to_string(c.tag) + " payload of " + std::to_string(c.payload.size()));
        auto got = decode_client_message(Frame{c.tag, B(c.payload)});
        if (c.want) {
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_TRUE(*got == *c.want);
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.error);
        }
    }

    struct ServerCase {
        uint8_t tag;
        std::string_view payload;
        std::optional<ServerMessage> want;
        std::string_view error;
    } server_cases[] = {
        {0, "", {}, "unknown server message"},
        {6, "", {}, "unknown server message"},
        {5, "\0\0\0"sv, {}, "short payload"},
        {5, "\0\0\0\x01"sv, {}, "short peer output"},
        {5, "\0\0\0\x01\x01\0\x18\0"sv, {}, "short peer output"},
        {5, "\0\0\0\x01\x02\0\x18\0\x50xy"sv, server::PeerOutput{1, std::nullopt, B("xy")}, ""},
        {3, "", server::Reply{false, ""}, ""},
        {3, "\x02yes"sv, server::Reply{false, "yes"}, ""},
        {4, R"({"type":"error","message":"no","message":"yes"})", {}, "duplicate field `message`"},
    };
    for (const auto& c : server_cases) {
        SCOPED_TRACE("server tag " + std::to_string(c.tag) + " payload of " + std::to_string(c.payload.size()));
        auto got = decode_server_message(Frame{c.tag, B(c.payload)});
        if (c.want) {
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_TRUE(*got == *c.want);
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.error);
        }
    }
}

// Each frame goes out in one write, so two threads sharing a socket never
// interleave their frames.
TEST(Messages, ConcurrentWritersKeepFramesWhole) {
    constexpr uint16_t PER_THREAD = 2000;
    auto [ours, theirs] = socket_pair();
    std::vector<std::jthread> writers;
    for (uint16_t id = 1; id <= 2; ++id) {
        writers.emplace_back([fd = ours.get(), id] {
            for (uint16_t i = 0; i < PER_THREAD; ++i)
                if (!write_client_message(fd, client::Resize{i, id})) return;
        });
    }
    // Runs before the writers are joined: a writer blocked on a full socket
    // after a failed check then gets an error instead of hanging the test.
    struct ShutDown {
        int fd;
        ~ShutDown() { ::shutdown(fd, SHUT_RDWR); }
    } shut_down{theirs.get()};
    FrameReader reader(theirs.get());
    uint16_t next_row[3] = {0, 0, 0};
    for (int n = 0; n < 2 * PER_THREAD; ++n) {
        auto got = read_client_message(reader);
        ASSERT_TRUE(got && *got) << (got ? "clean end" : got.error().message);
        const auto* resize = std::get_if<client::Resize>(&**got);
        ASSERT_TRUE(resize);
        ASSERT_TRUE(resize->cols == 1 || resize->cols == 2);
        EXPECT_EQ(resize->rows, next_row[resize->cols]++);
    }
}

// ---- outbound queue ----------------------------------------------------------------

TEST(OutboundQueue, DeliversInOrderAndClosesWhenDropped) {
    auto [ours, theirs] = socket_pair();
    std::vector<Bytes> sent;
    {
        OutboundQueue queue(std::move(ours));
        for (unsigned i = 0; i < 200; ++i) {
            sent.push_back(encode_server_message(server::Output{pattern(i * 997 % 50000, i)}));
            ASSERT_TRUE(queue.send(sent.back()));
        }
    }  // dropped at once: what is queued still goes out, then the socket closes
    FrameReader reader(theirs.get());
    for (const auto& frame : sent) {
        auto got = reader.next();
        ASSERT_TRUE(got && *got) << (got ? "clean end" : got.error().message);
        EXPECT_TRUE(encode_frame((*got)->tag, (*got)->payload) == frame);
    }
    auto end = reader.next();
    ASSERT_TRUE(end) << end.error().message;
    EXPECT_FALSE(*end);
}

// A peer that never reads: the queue dies past the cap and is dropped without
// waiting for the blocked writer. Reading later lets the writer finish the
// frame it was in, stop, and close the socket.
TEST(OutboundQueue, StalledReaderKillsQueueWithoutBlocking) {
    auto [ours, theirs] = socket_pair();
    constexpr size_t FRAME = 1 << 20;
    size_t accepted = 0;
    {
        OutboundQueue queue(std::move(ours));
        for (int i = 0; i < 64 && !queue.dead(); ++i) {
            if (queue.send(encode_frame(1, pattern(FRAME - FRAME_HEAD, i)))) ++accepted;
        }
        ASSERT_TRUE(queue.dead());
        EXPECT_GE(accepted, 15u);
        EXPECT_LE(queue.waiting(), OUTBOUND_CAP);
        EXPECT_FALSE(queue.send(encode_frame(1, B("late"))));
    }
    FrameReader reader(theirs.get());
    size_t received = 0;
    while (true) {
        auto got = reader.next();
        ASSERT_TRUE(got) << got.error().message;
        if (!*got) break;
        EXPECT_TRUE((*got)->payload == pattern(FRAME - FRAME_HEAD, received));
        ++received;
    }
    EXPECT_LT(received, accepted);
}

TEST(OutboundQueue, ShutdownReleasesABlockedWriter) {
    auto [ours, theirs] = socket_pair();
    OutboundQueue queue(std::move(ours));
    ASSERT_TRUE(queue.send(encode_frame(1, pattern(4 << 20, 0))));
    queue.shutdown();
    // The other end sees whatever was buffered, then the end.
    uint8_t buffer[65536];
    while (true) {
        auto n = sys::read_some(theirs.get(), buffer);
        ASSERT_TRUE(n) << n.error().message;
        if (*n == 0) break;
    }
    EXPECT_TRUE(test::wait_for([&] { return queue.dead() && queue.waiting() == 0; }));
}

// SIGPIPE would end the whole test binary here.
TEST(OutboundQueue, WriteToAGoneReaderFailsWithoutSignal) {
    {
        // A client writes its frames directly; a server that has gone is an error.
        auto [client_end, server_end] = socket_pair();
        server_end.reset();
        auto written = write_frame(client_end.get(), 2, B("x"));
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error().code, EPIPE);
    }
    for (const bool socket : {true, false}) {
        SCOPED_TRACE(socket ? "socket" : "pipe");
        Fd write_end;
        if (socket) {
            write_end = socket_pair().first;  // the other end closes right away
        } else {
            int fds[2];
            ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
            ::close(fds[0]);
            write_end = Fd(fds[1]);
        }
        OutboundQueue queue(std::move(write_end));
        // A socket refuses the frame at once; a pipe takes it into the queue
        // and its writer fails. Either way the failure marks the queue dead.
        EXPECT_EQ(queue.send(encode_frame(1, B("hello"))), !socket);
        EXPECT_TRUE(test::wait_for([&] { return queue.dead(); }));
        EXPECT_FALSE(queue.send(encode_frame(1, B("again"))));
    }
}

}  // namespace
}  // namespace ruk::protocol
