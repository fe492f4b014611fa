#include "lumo/config_templates.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <regex>

#include "lumo/tests/children_test_support.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
using lumo_test::domain_spec;
using platform::testing::read_file;
using platform::testing::write_file;
namespace fs = std::filesystem;

// An installation root with small templates written by the test.
class rendering : public ::testing::Test {
  protected:
    rendering() : root_(dir_ / "root") {
        for (const char* folder : {"conf", "mysql", "apache/conf", "php"}) {
            fs::create_directories(root_ / folder);
        }
    }

    void write_templates(const std::string& program_text, const std::string& htaccess_text) {
        for (const char* name : {"my.ini", "admin.conf", "php.ini", "stream.conf"}) {
            write_file(root_ / "conf" / name, program_text);
        }
        write_file(root_ / "conf" / ".htaccess", htaccess_text);
    }

    // A configuration with the given extra lumo keys and domains; the root
    // is always there.
    qen::qen_config config(const std::string& lumo_extra, const std::vector<domain_spec>& domains,
                           const std::string& qen_extra = "") {
        const fs::path file = dir_ / "lumo.xml";
        lumo_test::write_config(
            file, qen_extra, domains,
            "<path>" + lumo_test::xml_text(root_.string()) + "</path>" + lumo_extra);
        return qen::qen_config(file);
    }

    domain_spec plain_domain() { return {{"a.example"}, (dir_ / "www").string(), {}}; }

    void render_all(const qen::qen_config& configuration) {
        const lumo::config_templates templates(configuration, root_);
        templates.render_mysql_files();
        templates.render_web_admin_files();
        templates.render_http_streaming_files();
    }

    fs::path my_ini() const { return root_ / "mysql/my.ini"; }

    platform::testing::temp_dir dir_;
    fs::path root_;
};

TEST_F(rendering, PlaceholdersTakeTheirValuesOrTheirDefaults) {
    const fs::path media = dir_ / "media";
    fs::create_directories(media);
    struct placeholder_case {
        std::string placeholder;
        std::string lumo;  // the key in config.lumo, empty for a qen key
        std::string qen;   // the key in config.qen
        std::string value;
        std::string fallback;
    } cases[] = {
        {"%http_streaming_port%", "<http_streaming_port>9083</http_streaming_port>", "", "9083",
         "8083"},
        {"%web_admin_port%", "<web_admin_port>9085</web_admin_port>", "", "9085", "8085"},
        {"%web_admin_ssl_port%", "<web_admin_ssl_port>9086</web_admin_ssl_port>", "", "9086",
         "8086"},
        {"%mysql_port%", "<mysql_port>9087</mysql_port>", "", "9087", "8087"},
        {"%mysql_password%", "<mysql_password>two words</mysql_password>", "", "two words", ""},
        {"%rtmp_port%", "", "<rtmp><port>2935</port></rtmp>", "2935", "1935"},
        {"%rtmfp_port%", "", "<rtmfp><port>2936</port></rtmfp>", "2936", "1935"},
    };
    const std::vector<domain_spec> domains = {
        {{"a.example"}, (dir_ / "www").string(), {{"media", media.string()}}}};
    for (const auto& c : cases) {
        const bool in_htaccess = c.placeholder == "%rtmp_port%" || c.placeholder == "%rtmfp_port%";
        const fs::path target = in_htaccess ? media / ".htaccess" : my_ini();
        write_templates("[" + c.placeholder + "]", "[" + c.placeholder + "]");
        for (const bool set : {true, false}) {
            const auto configuration =
                config(set ? c.lumo : "", domains, set ? c.qen : std::string());
            render_all(configuration);
            EXPECT_EQ(read_file(target), "[" + (set ? c.value : c.fallback) + "]")
                << c.placeholder << (set ? " set" : " missing");
        }
    }
    // Those without a key of their own.
    write_templates("[%path%]", "[%virtual_dir%|%domain%|%http_streaming_port%]");
    render_all(config(
        "", {{{"Z.example", "b.example"}, (dir_ / "www").string(), {{"media", media.string()}}}}));
    EXPECT_EQ(read_file(my_ini()), "[" + root_.string() + "]");
    EXPECT_EQ(read_file(media / ".htaccess"), "[media|z.example|8083]")
        << "the first name as written, lower-cased by the loader";
}

TEST_F(rendering, BannerNamesTheRootAndEveryOccurrenceIsReplaced) {
    write_templates("%notice%port %mysql_port%, again %mysql_port%\n", "");
    render_all(config("<mysql_port>3306</mysql_port>", {plain_domain()}));
    EXPECT_EQ(read_file(my_ini()),
              "#---------------------------DON'T MODIFY THIS FILE-----------------------\n"
              "# MODIFY the version under " +
                  root_.string() +
                  "/conf instead\n"
                  "#---------------------------DON'T MODIFY THIS FILE-----------------------\n"
                  "port 3306, again 3306\n");
}

TEST_F(rendering, VirtualDirectoryBlockListsTheFirstDomainsDirectoriesByName) {
    const std::string www = (dir_ / "www").string();
    const std::string head = "\n<IfModule alias_module>\n";
    const auto directory = [](const std::string& path) {
        return "\n<Directory \"" + path +
               "\">\nAllowOverride All\nOrder allow,deny\nAllow from all\n</Directory>\n";
    };
    struct block_case {
        const char* name;
        std::vector<domain_spec> domains;
        std::string block;
    } cases[] = {
        {"none", {{{"a.example"}, www, {}}}, head + "\n</IfModule>"},
        {"one",
         {{{"a.example"}, www, {{"media", "/srv/Media Files"}}}},
         head + "\nAlias /media \"/srv/Media Files\"\n" + "\n</IfModule>" +
             directory("/srv/Media Files")},
        {"two, of the domain that owns the smallest name, listed later in the file",
         {{{"m.example"}, www, {{"other", "/srv/other"}}},
          {{"z.example", "a.example"}, www, {{"zeta", "/srv/z"}, {"alpha", "/srv/a"}}}},
         head + "\nAlias /alpha \"/srv/a\"\n" + "\nAlias /zeta \"/srv/z\"\n" + "\n</IfModule>" +
             directory("/srv/a") + directory("/srv/z")},
    };
    write_templates("<%virtual_dirs%>", "");
    for (const auto& c : cases) {
        render_all(config("", c.domains));
        EXPECT_EQ(read_file(root_ / "apache/conf/stream.conf"), "<" + c.block + ">") << c.name;
    }
}

TEST_F(rendering, HtaccessGoesIntoEachDirectoryOfTheFirstDomainAndRenderingRepeats) {
    const auto folder = [&](const char* name) {
        fs::create_directories(dir_ / name);
        return (dir_ / name).string();
    };
    const std::vector<domain_spec> domains = {
        {{"b.example"}, folder("www"), {{"other", folder("other")}}},
        {{"z.example", "a.example"},
         folder("www"),
         {{"vod", folder("vod")}, {"live", folder("live")}, {"gone", (dir_ / "gone").string()}}},
    };
    write_templates("%notice%%path% %mysql_port% %virtual_dirs%",
                    "%virtual_dir% %domain% %rtmp_port% %http_streaming_port% %rtmfp_port%");
    const auto configuration = config("", domains, "<rtmp><port>1940</port></rtmp>");
    render_all(configuration);

    EXPECT_EQ(read_file(dir_ / "live/.htaccess"), "live z.example 1940 8083 1935");
    EXPECT_EQ(read_file(dir_ / "vod/.htaccess"), "vod z.example 1940 8083 1935");
    EXPECT_FALSE(fs::exists(dir_ / "other/.htaccess")) << "not a directory of the first domain";
    EXPECT_FALSE(fs::exists(dir_ / "gone")) << "a folder that is gone is skipped, not made";

    const fs::path targets[] = {my_ini(),
                                root_ / "apache/conf/admin.conf",
                                root_ / "php/php.ini",
                                root_ / "apache/conf/stream.conf",
                                dir_ / "live/.htaccess",
                                dir_ / "vod/.htaccess"};
    std::map<fs::path, std::string> first;
    for (const auto& target : targets) {
        first[target] = read_file(target);
    }
    render_all(configuration);
    for (const auto& target : targets) {
        EXPECT_EQ(read_file(target), first[target]) << target;
    }
}

TEST_F(rendering, RefusedValuesNameTheirKeyAndLeaveEveryTargetAsItWas) {
    const fs::path media = dir_ / "media";
    const fs::path quoted_path = dir_ / "me\"dia";
    fs::create_directories(media);
    fs::create_directories(quoted_path);
    const fs::path good_root = root_;
    const fs::path quoted_root = dir_ / "ro\"ot";

    const domain_spec good = {{"a.example"}, (dir_ / "www").string(), {{"media", media.string()}}};
    const auto with = [&](std::vector<std::string> names,
                          std::vector<std::pair<std::string, std::string>> dirs) {
        return domain_spec{std::move(names), good.path, std::move(dirs)};
    };
    struct refused_case {
        const char* name;
        fs::path root;
        std::string lumo_extra;
        domain_spec domain;
        std::string key;
    } cases[] = {
        {"password with a line break", good_root,
         "<mysql_password>x\ninit-file=/tmp/evil.sql</mysql_password>", good,
         "config.lumo.mysql_password"},
        {"port with a letter", good_root, "<mysql_port>80a</mysql_port>", good,
         "config.lumo.mysql_port"},
        {"port zero", good_root, "<web_admin_port>0</web_admin_port>", good,
         "config.lumo.web_admin_port"},
        {"port past 65535", good_root, "<http_streaming_port>70000</http_streaming_port>", good,
         "config.lumo.http_streaming_port"},
        {"root with a quote", quoted_root, "", good, "config.lumo.path"},
        {"directory name with a space", good_root, "",
         with({"a.example"}, {{"my media", media.string()}}),
         "virtual directory name \"my media\""},
        {"directory name with a line break", good_root, "",
         with({"a.example"}, {{"media\nAlias", media.string()}}),
         "virtual directory name \"media\\x0AAlias\""},
        {"path with a quote", good_root, "", with({"a.example"}, {{"media", quoted_path.string()}}),
         "path of virtual directory \"media\""},
        {"path that is not UTF-8", good_root, "",
         with({"a.example"}, {{"media", media.string() + "\xFF"}}),
         "path of virtual directory \"media\""},
        {"domain with a line break", good_root, "",
         with({"a.example\nrewriteengine on"}, {{"media", media.string()}}),
         "the first domain's name"},
    };

    for (const auto& c : cases) {
        root_ = c.root;
        for (const char* folder : {"conf", "mysql", "apache/conf", "php"}) {
            fs::create_directories(root_ / folder);
        }
        // stream.conf and .htaccess between them take every value.
        write_templates(
            "%notice%%path% %http_streaming_port% %web_admin_port% "
            "%web_admin_ssl_port% %mysql_port% %mysql_password% %virtual_dirs%",
            "%virtual_dir% %domain% %rtmp_port% %http_streaming_port% %rtmfp_port%");
        const fs::path targets[] = {root_ / "apache/conf/stream.conf", media / ".htaccess",
                                    quoted_path / ".htaccess"};
        for (const auto& target : targets) {
            write_file(target, "old " + target.string());
        }

        const auto configuration = config(c.lumo_extra, {c.domain});
        try {
            lumo::config_templates(configuration, root_).render_http_streaming_files();
            ADD_FAILURE() << c.name << ": rendered";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.key), std::string::npos)
                << c.name << ": " << e.what();
        }
        for (const auto& target : targets) {
            EXPECT_EQ(read_file(target), "old " + target.string()) << c.name;
        }
    }
}

TEST_F(rendering, MissingTemplatesAndUnwritableTargetsThrowNamingTheFile) {
    fs::create_directories(dir_ / "media");
    const std::vector<domain_spec> domains = {
        {{"a.example"}, (dir_ / "www").string(), {{"media", (dir_ / "media").string()}}}};
    using render = void (lumo::config_templates::*)() const;
    struct failure_case {
        const char* name;
        std::function<void()> prepare;
        render step;
        std::string file;
    } cases[] = {
        {"my.ini template missing", [&] { fs::remove(root_ / "conf/my.ini"); },
         &lumo::config_templates::render_mysql_files, "conf/my.ini"},
        {"php.ini template missing", [&] { fs::remove(root_ / "conf/php.ini"); },
         &lumo::config_templates::render_web_admin_files, "conf/php.ini"},
        {".htaccess template missing", [&] { fs::remove(root_ / "conf/.htaccess"); },
         &lumo::config_templates::render_http_streaming_files, "conf/.htaccess"},
        {"a folder where my.ini goes", [&] { fs::create_directories(my_ini()); },
         &lumo::config_templates::render_mysql_files, "mysql/my.ini"},
        {"a folder where stream.conf goes",
         [&] { fs::create_directories(root_ / "apache/conf/stream.conf"); },
         &lumo::config_templates::render_http_streaming_files, "apache/conf/stream.conf"},
    };
    const auto configuration = config("", domains);
    for (const auto& c : cases) {
        write_templates("%mysql_port%", "%virtual_dir%");
        for (const char* target : {"mysql/my.ini", "apache/conf/stream.conf"}) {
            fs::remove_all(root_ / target);
        }
        c.prepare();
        const lumo::config_templates templates(configuration, root_);
        try {
            (templates.*c.step)();
            ADD_FAILURE() << c.name << ": rendered";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find((root_ / c.file).string()), std::string::npos)
                << c.name << ": " << e.what();
        }
    }
    EXPECT_FALSE(fs::exists(dir_ / "media/.htaccess"));
}

TEST(shipped_templates, RenderCompletelyAndApacheAcceptsBoth) {
    platform::testing::temp_dir dir;
    const fs::path root = dir / "root";
    fs::create_directories(root / "mysql/data");  // no database wanted
    const bool have_apache = fs::exists("/usr/sbin/apache2");
    lumo_test::make_root(
        root, {"/bin/true", "/bin/true", have_apache ? "/usr/sbin/apache2" : "/bin/true"});
    fs::create_directories(dir / "media");
    const fs::path config_file = dir / "lumo.xml";
    lumo_test::write_config(
        config_file, "",
        {{{"localhost"}, (dir / "www").string(), {{"media", (dir / "media").string()}}}},
        "<path>" + root.string() + "</path>");
    const qen::qen_config configuration(config_file);
    const lumo::config_templates templates(configuration, root);
    templates.render_mysql_files();
    templates.render_web_admin_files();
    templates.render_http_streaming_files();

    const std::regex placeholder("%[a-z_]+%");
    for (const fs::path& file :
         {root / "mysql/my.ini", root / "apache/conf/admin.conf", root / "php/php.ini",
          root / "apache/conf/stream.conf", dir / "media/.htaccess"}) {
        const std::string text = read_file(file);
        EXPECT_FALSE(text.empty()) << file;
        EXPECT_FALSE(std::regex_search(text, placeholder)) << file;
    }

    if (!have_apache || !fs::exists("/usr/lib/apache2/modules/libphp8.2.so")) {
        GTEST_SKIP() << "apache2 or its PHP module is missing";
    }
    for (const char* conf : {"admin.conf", "stream.conf"}) {
        const auto check = platform::testing::run(
            {"/usr/sbin/apache2", "-t", "-f", (root / "apache/conf" / conf).string()}, 60s);
        EXPECT_EQ(check.exit_code, 0) << conf << ": " << check.out << check.err;
    }
}

}  // namespace
