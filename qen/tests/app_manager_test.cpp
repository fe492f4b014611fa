#include "qen/app_manager.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <latch>
#include <thread>

#include "platform/testing/test_support.hpp"

namespace {

using platform::testing::temp_dir;
using platform::testing::write_file;
using qen::app_manager;
using qen::app_ptr;
using qen::url_parts;
namespace fs = std::filesystem;

std::string settings(const std::string& body) {
    return "<?xml version=\"1.0\"?><config><qen_app>" + body + "</qen_app></config>";
}

// A domain tree on disk:
//   www/                 the root of example.com (also the default domain)
//   www/Live/Show/       nested applications, with capitals
//   www/final/child/     under a finalized application
//   www/r1 -> /r2 -> /Live      redirections
//   www/loop -> /loop           a redirection without end
//   www/chain1 .. chain5        a chain of five redirections
//   vod/                 the virtual directory "Vod"
//   other/               the root of other.org
struct fixture_tree {
    temp_dir dir;
    fs::path www = dir / "www";
    fs::path vod = dir / "vod";
    fs::path other = dir / "other";

    fixture_tree() {
        for (const char* sub : {"Live/Show", "final/child", "r1", "r2", "loop", "chain1", "chain2",
                                "chain3", "chain4", "chain5", "plain"}) {
            fs::create_directories(www / sub);
        }
        fs::create_directories(vod / "sub");
        fs::create_directories(other);
        write_file(www / "final/.flaccess", settings("<finalized>true</finalized>"));
        write_file(www / "r1/.flaccess", settings("<app_redirection>/r2</app_redirection>"));
        write_file(www / "r2/.flaccess", settings("<app_redirection>/Live</app_redirection>"));
        write_file(www / "loop/.flaccess", settings("<app_redirection>/loop</app_redirection>"));
        for (int i = 1; i <= 5; ++i) {
            write_file(www / ("chain" + std::to_string(i)) / ".flaccess",
                       settings("<app_redirection>/" +
                                (i < 5 ? "chain" + std::to_string(i + 1) : std::string("plain")) +
                                "</app_redirection>"));
        }
    }

    qen::domain_map domains(qen::domain_ptr* default_domain) const {
        auto example = std::make_shared<qen::domain>();
        example->names = {"example.com", "www.example.com"};
        example->path = www.string();
        example->virtual_dirs["Vod"] = vod.string();
        auto other_org = std::make_shared<qen::domain>();
        other_org->names = {"other.org"};
        other_org->path = other.string();
        *default_domain = example;
        return {{"example.com", example}, {"www.example.com", example}, {"other.org", other_org}};
    }
};

struct manager_under_test : fixture_tree {
    std::unique_ptr<app_manager> manager;
    explicit manager_under_test(bool with_default = true, std::uint32_t update = 60,
                                std::uint32_t idle = 60) {
        qen::domain_ptr default_domain;
        auto map = domains(&default_domain);
        manager = std::make_unique<app_manager>(map, with_default ? default_domain : nullptr,
                                                update, idle);
    }
    app_ptr find(const std::string& url) {
        url_parts context;
        return manager->find_app_by_url(url, context);
    }
};

TEST(AppManager, FindsApplicationsByUrl) {
    manager_under_test t;
    const struct {
        std::string url;
        std::string directory;  // empty: refused
        std::string key;
    } cases[] = {
        {"rtmp://example.com", t.www.string(), "example.com"},
        {"rtmp://EXAMPLE.com:1935/", t.www.string(), "example.com"},
        {"rtmp://www.example.com/Live", t.www.string() + "/Live", "example.com/Live"},
        {"rtmp://example.com/Live//Show/", t.www.string() + "/Live/Show", "example.com/Live/Show"},
        {"rtmpt://example.com/%4Cive?x=1", t.www.string() + "/Live", "example.com/Live"},
        {"rtmp://example.com/live", "", ""},  // paths keep their case
        {"rtmp://unknown.net/Live", t.www.string() + "/Live", "example.com/Live"},
        {"rtmp://other.org", t.other.string(), "other.org"},
        {"rtmp://other.org/Live", "", ""},
        {"rtmp://example.com/Vod", t.vod.string(), "example.com/Vod"},
        {"rtmp://example.com/Vod/sub", t.vod.string() + "/sub", "example.com/Vod/sub"},
        {"rtmp://example.com/vod", "", ""},  // virtual directory names match exactly
        {"rtmp://example.com/missing", "", ""},
        {"rtmp://example.com/final", t.www.string() + "/final", "example.com/final"},
        {"rtmp://example.com/final/child", "", ""},
        {"rtmp://example.com/r1", t.www.string() + "/Live", "example.com/Live"},
        {"rtmp://example.com/chain2", t.www.string() + "/plain", "example.com/plain"},
        {"rtmp://example.com/chain1", "", ""},  // a fifth redirection
        {"rtmp://example.com/loop", "", ""},
        {"not a url", "", ""},
        {"rtmp://example.com:65536/Live", "", ""},
        {"rtmp://example.com:99999/Live", "", ""},
        // What must never leave the domain's tree.
        {"rtmp://example.com/..", "", ""},
        {"rtmp://example.com/Live/../..", "", ""},
        {"rtmp://example.com/%2e%2e/%2E%2E/etc", "", ""},
        {"rtmp://example.com/.", "", ""},
        {"rtmp://example.com/Live%00", "", ""},
        {"rtmp://example.com/Live%5c..%5c..", "", ""},
        {"rtmp://example.com/Live%2f..%2f..", "", ""},
        {"rtmp://example.com/a:b", "", ""},
    };
    for (const auto& c : cases) {
        const app_ptr app = t.find(c.url);
        if (c.directory.empty()) {
            EXPECT_EQ(app, nullptr) << c.url << " found " << app->directory();
            continue;
        }
        ASSERT_NE(app, nullptr) << c.url;
        EXPECT_EQ(app->directory(), c.directory) << c.url;
        EXPECT_EQ(app->key(), c.key) << c.url;
    }
}

TEST(AppManager, WithoutDefaultDomainAnUnknownHostIsRefused) {
    manager_under_test t(false);
    EXPECT_EQ(t.find("rtmp://unknown.net/Live"), nullptr);
    EXPECT_NE(t.find("rtmp://example.com/Live"), nullptr);
}

TEST(AppManager, RedirectionTargetsAreCheckedLikePaths) {
    manager_under_test t;
    write_file(t.www / "plain/.flaccess", settings("<app_redirection>/../other</app_redirection>"));
    EXPECT_EQ(t.find("rtmp://example.com/plain"), nullptr);
}

TEST(AppManager, TheUrlFillsTheContext) {
    manager_under_test t;
    url_parts context;
    ASSERT_NE(t.manager->find_app_by_url(
                  "rtmp://Example.com:80/r1?play_password=a%20b&x=1&x=2&p=c+d", context),
              nullptr);
    EXPECT_EQ(context.protocol, "rtmp");
    EXPECT_EQ(context.host, "example.com");
    EXPECT_EQ(context.port, 80);
    EXPECT_EQ(context.path, "/Live") << "a redirection replaces the path";
    EXPECT_EQ(context.query, (std::map<std::string, std::string>{
                                 {"play_password", "a b"}, {"x", "1"}, {"p", "c d"}}));
}

// The settings of a three-level chain root / mid / leaf; each level's body.
struct chain_case {
    const char* what;
    std::string root, mid, leaf;
    std::optional<int> expected;  // max_concurrents seen by the leaf
};

TEST(AppSettings, InheritanceAndAllowOverride) {
    const auto limit = [](const std::string& value, const char* allow = nullptr) {
        std::string body = "<max_concurrents>" + value;
        if (allow) {
            body += std::string("<allow_override>") + allow + "</allow_override>";
        }
        return settings(body + "</max_concurrents>");
    };
    const chain_case cases[] = {
        {"nothing anywhere", "", "", "", std::nullopt},
        {"own value", "", "", limit("3"), 3},
        {"inherited from the root", limit("1"), "", "", 1},
        {"nearest ancestor wins", limit("1"), limit("2"), "", 2},
        {"own value beats ancestors", limit("1"), limit("2"), limit("3"), 3},
        {"own value that does not convert", limit("1"), limit("2"), limit("many"), 2},
        {"ancestor value that does not convert", limit("1"), limit("many"), "", 1},
        {"root forbids override", limit("1", "false"), limit("2"), limit("3"), 1},
        {"root allows override", limit("1", "true"), limit("2"), limit("3"), 3},
        {"middle forbids override", limit("1"), limit("2", "false"), limit("3"), 2},
        {"root forbids before middle", limit("1", "false"), limit("2", "false"), limit("3"), 1},
        {"forbidding level without a value keeps the default",
         settings("<max_concurrents><allow_override>false</allow_override></max_concurrents>"),
         limit("2"), limit("3"), std::nullopt},
        {"a leaf's own ban binds only its children", "", "", limit("3", "false"), 3},
        {"malformed leaf file", limit("1"), "", "<config><qen_app><max_conc", 1},
        {"malformed root file", "<config", limit("2"), "", 2},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        fs::create_directories(dir / "mid/leaf");
        const std::pair<fs::path, std::string> files[] = {
            {dir.path(), c.root}, {dir / "mid", c.mid}, {dir / "mid/leaf", c.leaf}};
        for (const auto& [folder, body] : files) {
            if (!body.empty()) {
                write_file(folder / ".flaccess", body);
            }
        }
        auto d = std::make_shared<qen::domain>();
        d->names = {"host"};
        d->path = dir.path().string();
        app_manager manager({{"host", d}}, nullptr, 60, 60);
        const app_ptr leaf = manager.resolve_app_path(*d, "/mid/leaf");
        ASSERT_NE(leaf, nullptr) << c.what;
        EXPECT_EQ(leaf->get_optional<int>("max_concurrents"), c.expected) << c.what;
    }
}

TEST(AppSettings, TypesAndDefaults) {
    temp_dir dir;
    write_file(dir / ".flaccess",
               settings("<allow_play>false</allow_play><play_password>s3cret</play_password>"
                        "<allow_publish>1</allow_publish><publish_format>none</publish_format>"));
    auto d = std::make_shared<qen::domain>();
    d->names = {"host"};
    d->path = dir.path().string();
    app_manager manager({{"host", d}}, nullptr, 60, 60);
    const app_ptr app = manager.resolve_app_path(*d, "");
    ASSERT_NE(app, nullptr);
    EXPECT_FALSE(app->get<bool>("allow_play", true));
    EXPECT_TRUE(app->get<bool>("allow_publish", false));
    EXPECT_EQ(app->get<std::string>("play_password", ""), "s3cret");
    EXPECT_EQ(app->get<std::string>("publish_format", "zpk"), "none");
    EXPECT_EQ(app->get<std::string>("only_publish_name", ""), "");
    EXPECT_EQ(app->get<int>("max_concurrents", 0), 0);
    EXPECT_EQ(app->get_optional<int>("allow_play"), std::nullopt) << "\"false\" is no integer";
    EXPECT_FALSE(app->finalized());
}

// Counts the applications it builds.
class counting_manager : public app_manager {
  public:
    using app_manager::app_manager;
    std::atomic<int> builds{0};

  protected:
    app_ptr build_app(const qen::app_slot_ptr& parent, const std::string& directory,
                      const std::string& key, std::shared_ptr<qen::client_count> clients) override {
        ++builds;
        // Slow enough that concurrent lookups overlap the load.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return app_manager::build_app(parent, directory, key, std::move(clients));
    }
};

struct cache_fixture {
    temp_dir dir;
    qen::domain_ptr d = std::make_shared<qen::domain>();
    counting_manager manager;

    cache_fixture(std::uint32_t update, std::uint32_t idle) : manager({}, nullptr, update, idle) {
        fs::create_directories(dir / "Live");
        d->names = {"host"};
        d->path = dir.path().string();
    }
    app_ptr live() { return manager.resolve_app_path(*d, "/Live"); }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) {
            manager.on_timer();
        }
    }
};

TEST(AppCache, ManyThreadsAskingAtOnceLoadOnce) {
    cache_fixture f(60, 60);
    constexpr int threads = 16;
    std::latch start(threads);
    std::vector<app_ptr> seen(threads);
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[static_cast<std::size_t>(i)] = f.live();
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(f.manager.builds, 2) << "the root and Live, once each";
    for (const auto& app : seen) {
        EXPECT_EQ(app, seen.front());
    }
}

TEST(AppCache, ARewrittenSettingsFileIsSeenAfterTheUpdateInterval) {
    cache_fixture f(3, 1000);
    const app_ptr before = f.live();
    EXPECT_EQ(before->get<bool>("allow_play", true), true);

    write_file(f.dir / "Live/.flaccess", settings("<allow_play>false</allow_play>"));
    f.ticks(3);
    EXPECT_EQ(f.live(), before) << "not checked before the interval has passed";
    f.ticks(1);
    const app_ptr after = f.live();
    EXPECT_NE(after, before);
    EXPECT_FALSE(after->get<bool>("allow_play", true));
    EXPECT_TRUE(before->get<bool>("allow_play", true)) << "holders keep what they had";

    // Two quick rewrites are both seen: the change time has full precision.
    write_file(f.dir / "Live/.flaccess", settings("<allow_play>true</allow_play>"));
    f.ticks(4);
    EXPECT_TRUE(f.live()->get<bool>("allow_play", false));
    write_file(f.dir / "Live/.flaccess", settings("<allow_play>false</allow_play>"));
    f.ticks(4);
    EXPECT_FALSE(f.live()->get<bool>("allow_play", true));

    const int builds = f.manager.builds;
    f.ticks(4);
    f.live();
    EXPECT_EQ(f.manager.builds, builds) << "an unchanged file is not read again";
}

TEST(AppCache, ClientsOfAReplacedApplicationStillCount) {
    cache_fixture f(1, 3);
    qen::client_hold first(f.live()->clients());
    EXPECT_EQ(f.live()->clients()->value(), 1u);

    // The settings change twice while the first client stays on the version
    // it connected to: the newest version counts it, and the clients of
    // every version count together.
    std::weak_ptr<const qen::qen_app> first_version = f.live();
    write_file(f.dir / "Live/.flaccess", settings("<max_concurrents>1</max_concurrents>"));
    f.ticks(2);
    qen::client_hold second(f.live()->clients());
    ASSERT_TRUE(first_version.expired()) << "replaced by a version that read the new file";
    write_file(f.dir / "Live/.flaccess", settings("<max_concurrents>2</max_concurrents>"));
    f.ticks(2);
    EXPECT_EQ(f.live()->get<int>("max_concurrents", 0), 2);
    EXPECT_EQ(f.live()->clients()->value(), 2u);

    // Idle in the cache, but not unused: its clients hold older versions.
    f.ticks(10);
    const int builds = f.manager.builds;
    EXPECT_EQ(f.live()->clients()->value(), 2u);
    EXPECT_EQ(f.manager.builds, builds) << "the entry was kept";

    second = qen::client_hold();
    { const qen::client_hold gone = std::move(first); }
    EXPECT_EQ(f.live()->clients()->value(), 0u);
}

TEST(AppCache, AChildInUseSeesItsParentsNewSettings) {
    cache_fixture f(1, 1000);
    const app_ptr child = f.live();
    EXPECT_TRUE(child->get<bool>("allow_publish", true));
    write_file(f.dir / ".flaccess",
               settings("<allow_publish>false<allow_override>false</allow_override>"
                        "</allow_publish>"));
    f.ticks(2);
    const app_ptr again = f.live();  // re-checks the root on its way
    EXPECT_EQ(again, child) << "the child's own file did not change";
    EXPECT_FALSE(child->get<bool>("allow_publish", true));
}

TEST(AppCache, AVanishedDirectoryIsDroppedAtItsNextCheck) {
    cache_fixture f(1, 1000);
    write_file(f.dir / "Live/.flaccess", settings("<allow_play>true</allow_play>"));
    ASSERT_NE(f.live(), nullptr);
    fs::remove_all(f.dir / "Live");
    f.ticks(2);
    EXPECT_EQ(f.live(), nullptr);
}

TEST(AppCache, AnUnusedApplicationIsDroppedAfterTheIdleTime) {
    cache_fixture f(1000, 3);
    app_ptr connection_holds = f.live();
    std::weak_ptr<const qen::qen_app> live = connection_holds;
    std::weak_ptr<const qen::qen_app> root = f.manager.resolve_app_path(*f.d, "");
    f.ticks(5);
    EXPECT_FALSE(live.expired()) << "a connection holds it";
    EXPECT_FALSE(root.expired()) << "Live, which a connection holds, refers to it";

    connection_holds.reset();
    f.ticks(1);
    EXPECT_TRUE(live.expired()) << "idle for longer than allowed and held by no one";
    EXPECT_FALSE(root.expired());
    f.ticks(1);
    EXPECT_TRUE(root.expired()) << "then the root, which only Live referred to";

    const int builds = f.manager.builds;
    ASSERT_NE(f.live(), nullptr);
    EXPECT_EQ(f.manager.builds, builds + 2) << "both loaded again";
}

TEST(AppCache, IdleTimeCountsFromTheLastLookup) {
    cache_fixture f(1000, 3);
    std::weak_ptr<const qen::qen_app> root = f.manager.resolve_app_path(*f.d, "");
    f.ticks(3);
    f.manager.resolve_app_path(*f.d, "");
    f.ticks(3);
    EXPECT_FALSE(root.expired());
    f.ticks(1);
    EXPECT_TRUE(root.expired());
}

}  // namespace
