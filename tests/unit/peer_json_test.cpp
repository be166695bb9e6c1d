// The JSON bodies that two servers exchange: exact texts out, tolerant but
// strict-where-it-matters reading in.
#include <gtest/gtest.h>

#include "protocol/peer_json.h"

namespace ruk::protocol {
namespace {

using namespace peer_request;
using namespace peer_event;

const WindowInfo SHELL{.id = 3, .index = 0, .name = std::nullopt, .process = "bash", .agent = std::nullopt};
const WindowInfo AGENT{.id = 9,
                       .index = 2,
                       .name = "api-claude",
                       .process = "claude",
                       .agent = AgentInfo{.kind = "claude",
                                          .state = "needs_input",
                                          .location = Location{.root = "/src/api", .branch = std::nullopt},
                                          .queued = 2,
                                          .overdue = true}};

TEST(PeerJson, WritesKeysInOrderWithoutBlanks) {
    struct Case {
        std::variant<PeerRequest, PeerEvent> body;
        std::string_view want;
    };
    const Case cases[] = {
        {PeerRequest{Hello{2}}, R"({"type":"hello","version":2})"},
        {PeerRequest{View{.window = std::nullopt, .rows = 23, .cols = 55}},
         R"({"type":"view","window":null,"rows":23,"cols":55})"},
        {PeerRequest{NewWindow{.near = std::nullopt, .rows = 5, .cols = 6, .agent = std::nullopt, .request = std::nullopt}},
         R"({"type":"new_window","near":null,"rows":5,"cols":6})"},
        {PeerRequest{NewWindow{.near = 4,
                               .rows = 5,
                               .cols = 6,
                               .agent = NewAgent{.runtime = "codex", .args = {"--yolo"}, .name = "fix", .dir = std::nullopt},
                               .request = 18446744073709551615u}},
         R"({"type":"new_window","near":4,"rows":5,"cols":6,"agent":{"runtime":"codex","args":["--yolo"],"name":"fix","dir":null},"request":18446744073709551615})"},
        {PeerRequest{Rename{.window = 7, .name = std::nullopt}}, R"({"type":"rename","window":7,"name":null})"},
        {PeerRequest{MoveWindow{.window = 7, .index = 1}}, R"({"type":"move_window","window":7,"index":1})"},
        {PeerEvent{Welcome{.version = 2, .instance = "0123456789abcdef", .features = {"new-agent", "move-window"},
                           .build = 1791213863822, .release = "0.1.4"}},
         R"({"type":"welcome","version":2,"instance":"0123456789abcdef","features":["new-agent","move-window"],"build":1791213863822,"release":"0.1.4"})"},
        {PeerEvent{Windows{{SHELL, AGENT}}},
         R"({"type":"windows","windows":[{"id":3,"index":0,"name":null,"process":"bash","agent":null},)"
         R"({"id":9,"index":2,"name":"api-claude","process":"claude","agent":{"kind":"claude","state":"needs_input",)"
         R"("location":{"root":"/src/api","branch":null},"queued":2,"overdue":true}}]})"},
        {PeerEvent{Created{.window = 3, .request = std::nullopt, .name = std::nullopt}}, R"({"type":"created","window":3})"},
        {PeerEvent{Created{.window = 4, .request = 7, .name = "claude"}},
         R"({"type":"created","window":4,"request":7,"name":"claude"})"},
        {PeerEvent{Error{.message = "name \"x\" is\ttaken", .request = std::nullopt}},
         R"({"type":"error","message":"name \"x\" is\ttaken"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        auto got = std::visit(
            [](const auto& body) {
                if constexpr (std::is_same_v<std::decay_t<decltype(body)>, PeerRequest>)
                    return encode_peer_request(body);
                else
                    return encode_peer_event(body);
            },
            c.body);
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_EQ(*got, c.want);
        // And what was written reads back as what was meant.
        if (auto* request = std::get_if<PeerRequest>(&c.body)) {
            auto back = decode_peer_request(*got);
            ASSERT_TRUE(back) << back.error().message;
            EXPECT_TRUE(*back == *request);
        } else {
            auto back = decode_peer_event(*got);
            ASSERT_TRUE(back) << back.error().message;
            EXPECT_TRUE(*back == std::get<PeerEvent>(c.body));
        }
    }
}

TEST(PeerJson, ReadsKeysInAnyOrderAndFillsWhatIsAbsent) {
    struct RequestCase {
        std::string_view text;
        PeerRequest want;
    };
    const RequestCase requests[] = {
        {R"({"version":2,"type":"hello","colour":"blue","nested":{"a":[1,{"b":null}]}})", Hello{2}},
        {R"({"type":"view","rows":23,"cols":55})", View{.window = std::nullopt, .rows = 23, .cols = 55}},
        {R"({"cols":1,"rows":2,"window":null,"type":"view"})", View{.window = std::nullopt, .rows = 2, .cols = 1}},
        {R"({"type":"new_window","rows":1,"cols":1,"agent":{"runtime":"pi"},"request":null})",
         NewWindow{.near = std::nullopt, .rows = 1, .cols = 1, .agent = NewAgent{"pi", {}, std::nullopt, std::nullopt}, .request = std::nullopt}},
        {R"({"type":"rename","window":4294967295})", Rename{.window = 4294967295u, .name = std::nullopt}},
    };
    for (const auto& c : requests) {
        SCOPED_TRACE(c.text);
        auto got = decode_peer_request(c.text);
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_TRUE(*got == c.want);
    }

    struct EventCase {
        std::string_view text;
        PeerEvent want;
    };
    const EventCase events[] = {
        // An older server sends fewer keys.
        {R"({"type":"welcome","version":2})", Welcome{.version = 2, .instance = "", .features = {}, .build = 0, .release = ""}},
        {R"({"type":"windows","windows":[{"id":1,"index":0,"process":"sh"},)"
         R"({"id":2,"index":1,"name":"w","process":"pi","agent":{"kind":"pi","state":"idle","queued":0}}]})",
         Windows{{WindowInfo{.id = 1, .index = 0, .name = std::nullopt, .process = "sh", .agent = std::nullopt},
                  WindowInfo{.id = 2, .index = 1, .name = "w", .process = "pi",
                             .agent = AgentInfo{.kind = "pi", .state = "idle", .location = std::nullopt, .queued = 0,
                                                .overdue = false}}}}},
        {R"({"type":"error","message":"","request":0})", Error{.message = "", .request = 0}},
    };
    for (const auto& c : events) {
        SCOPED_TRACE(c.text);
        auto got = decode_peer_event(c.text);
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_TRUE(*got == c.want);
    }
}

TEST(PeerJson, RefusesWhatCannotBeTrusted) {
    struct Case {
        std::string_view text;
        bool request;  // read as a PeerRequest, else as a PeerEvent
        std::string_view error;  // empty: any refusal
    };
    const Case cases[] = {
        {R"({"version":2})", true, "missing field `type`"},
        {R"({"type":"welcome","version":2})", true,
         "unknown variant `welcome`, expected one of `hello`, `view`, `new_window`, `rename`, `move_window`"},
        {R"({"type":"hello","version":2})", false,
         "unknown variant `hello`, expected one of `welcome`, `windows`, `created`, `error`"},
        {R"({"type":"view","window":1,"cols":80})", true, "missing field `rows`"},
        {R"({"type":"hello"})", true, "missing field `version`"},
        {R"({"type":"hello","version":2,"version":3})", true, "duplicate field `version`"},
        {R"({"type":"hello","type":"hello","version":2})", true, "duplicate field `type`"},
        {R"({"type":"new_window","rows":1,"cols":1,"agent":{"runtime":"pi","name":"a","name":"b"}})", true,
         "duplicate field `name`"},
        {R"({"type":"view","rows":65536,"cols":1})", true, "invalid value for `rows`: integer `65536`, expected u16"},
        {R"({"type":"view","rows":-1,"cols":1})", true, "invalid type for `rows`: integer `-1`, expected u16"},
        {R"({"type":"view","rows":1.0,"cols":1})", true, ""},
        {R"({"type":"view","rows":1e2,"cols":1})", true, ""},
        {R"({"type":"view","rows":"24","cols":1})", true, "invalid type for `rows`: string \"24\", expected u16"},
        {R"({"type":"move_window","window":4294967296,"index":0})", true, ""},
        {R"({"type":"new_window","rows":1,"cols":1,"request":18446744073709551616})", true, ""},
        {R"({"type":"rename","window":1,"name":7})", true, ""},
        {R"({"type":"welcome","version":2,"features":null})", false, ""},
        {R"({"type":"welcome","version":2,"features":["a",1]})", false, ""},
        {R"({"type":"windows","windows":[{"id":1,"index":0,"process":"sh","agent":{"kind":"pi","state":"idle","queued":0,"overdue":"yes"}}]})",
         false, ""},
        {R"({"type":"windows","windows":[{"id":1,"index":0}]})", false, "missing field `process`"},
        {R"({"type":"windows"})", false, "missing field `windows`"},
        {R"({"type":7})", true, ""},
        {R"(["hello"])", true, ""},
        {R"({"type":"hello","version":2} {})", true, ""},
        {R"({"type":"hello",)", true, ""},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string error = c.request ? (decode_peer_request(c.text) ? "" : decode_peer_request(c.text).error().message)
                                            : (decode_peer_event(c.text) ? "" : decode_peer_event(c.text).error().message);
        ASSERT_FALSE(error.empty()) << "accepted";
        if (!c.error.empty()) {
            EXPECT_EQ(error, c.error);
        }
    }
}

TEST(PeerJson, TextThatIsNotUtf8) {
    const WindowInfo broken{.id = 1,
                            .index = 0,
                            .name = std::nullopt,
                            .process = "sh",
                            .agent = AgentInfo{.kind = "pi",
                                               .state = "idle",
                                               .location = Location{.root = "/src/caf\xe9", .branch = std::nullopt},
                                               .queued = 0,
                                               .overdue = false}};
    EXPECT_FALSE(encode_peer_event(Windows{{broken}})) << "a root that is not text is not sent";
    auto replaced = encode_peer_event(Windows{{broken}}, InvalidText::Replace);
    ASSERT_TRUE(replaced);
    EXPECT_NE(replaced->find("/src/caf\uFFFD"), std::string::npos) << *replaced;
}

}  // namespace
}  // namespace ruk::protocol
