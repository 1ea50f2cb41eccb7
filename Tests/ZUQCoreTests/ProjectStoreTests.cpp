// The project registry on real files: what it keeps, what it refuses, and that writers in
// several processes at once lose nothing.
#include "Storage.hpp"
#include "Support.hpp"

#include <atomic>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::failure;

namespace {

Project sample(std::string id, std::string path, std::string name = "App") {
    return Project{std::move(id),        std::move(name), std::move(path), {"App", "App Widgets"},
                   {"Debug", "Release"}, std::nullopt,    std::nullopt,    true};
}

std::vector<std::string> ids(const std::vector<Project>& projects) {
    std::vector<std::string> result;
    for (const auto& project : projects) {
        result.push_back(project.id);
    }
    return result;
}

class ProjectStoreTest : public TestSupport::TemporaryDirectoryTest {
protected:
    fs::path registry() const { return stateDirectory / "projects.json"; }
};

TEST_F(ProjectStoreTest, UpsertReplacesBySameIdOrPathAndMovesTheEntryLast) {
    EXPECT_TRUE(ProjectStore::load().empty());
    EXPECT_FALSE(fs::exists(stateDirectory)) << "reading creates nothing";

    ProjectStore::upsert(sample("a", "/p/A.xcodeproj"));
    ProjectStore::upsert(sample("b", "/p/B.xcworkspace"));
    ProjectStore::upsert(sample("c", "/p/C.xcodeproj"));
    EXPECT_EQ(ids(ProjectStore::load()), (std::vector<std::string>{"a", "b", "c"}));

    Project renamed = sample("a", "/p/A.xcodeproj", "Renamed");
    renamed.teamID = "TEAM123456";
    ProjectStore::upsert(renamed);
    EXPECT_EQ(ids(ProjectStore::load()), (std::vector<std::string>{"b", "c", "a"}));
    EXPECT_EQ(ProjectStore::load().back(), renamed);

    // The same bundle under a new id leaves one entry, the new one.
    ProjectStore::upsert(sample("b2", "/p/B.xcworkspace"));
    EXPECT_EQ(ids(ProjectStore::load()), (std::vector<std::string>{"c", "a", "b2"}));
    // Paths compare as exact text.
    ProjectStore::upsert(sample("b3", "/p/b.xcworkspace"));
    EXPECT_EQ(ids(ProjectStore::load()), (std::vector<std::string>{"c", "a", "b2", "b3"}));

    ProjectStore::remove("c");
    ProjectStore::remove("not-registered");
    ProjectStore::remove("/p/A.xcodeproj"); // an id, never a path
    EXPECT_EQ(ids(ProjectStore::load()), (std::vector<std::string>{"a", "b2", "b3"}));

    struct stat status {};
    ASSERT_EQ(::stat(registry().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    std::string stored = TestSupport::readFile(registry());
    EXPECT_EQ(stored.find('\n'), std::string::npos) << "written compactly";
    JSON document = JSON::decode(stored);
    EXPECT_EQ(document.items()[0]["teamID"].text(), "TEAM123456");
    EXPECT_EQ(document.items()[1].fields().count("teamID"), 0u) << "absent keys stay out";
    EXPECT_EQ(document.items()[1].fields().count("exportOptionsPath"), 0u);
}

TEST_F(ProjectStoreTest, RemoveOnAMacWithoutARegistryLeavesAnEmptyOne) {
    ProjectStore::remove("anything");
    EXPECT_EQ(TestSupport::readFile(registry()), "[]");
}

TEST_F(ProjectStoreTest, StoredFormReadsAsWrittenByEarlierVersions) {
    // Key order carries no meaning, a solidus may come escaped, unknown keys are ignored and
    // a null optional reads as absent.
    TestSupport::writeFile(registry(), R"([{"automaticSigning":false,"schemes":["App"],)"
                                       R"("configurations":["Debug"],"path":"\/p\/A.xcodeproj",)"
                                       R"("name":"A","id":"x","teamID":null,)"
                                       R"("exportOptionsPath":"\/p\/Export.plist","future":1}])");
    std::vector<Project> projects = ProjectStore::load();
    ASSERT_EQ(projects.size(), 1u);
    EXPECT_EQ(projects[0], (Project{"x",
                                    "A",
                                    "/p/A.xcodeproj",
                                    {"App"},
                                    {"Debug"},
                                    std::nullopt,
                                    "/p/Export.plist",
                                    false}));
    TestSupport::writeFile(registry(), "[]");
    EXPECT_TRUE(ProjectStore::load().empty());
}

TEST_F(ProjectStoreTest, ADamagedRegistryIsReportedAndLeftAsItWas) {
    const std::string valid = R"("id":"x","name":"A","path":"/p/A.xcodeproj","schemes":["App"],)"
                              R"("configurations":["Debug"])";
    struct Case {
        std::string content;
        std::string problem;
    };
    const Case cases[] = {
        {"", "[json.exception.parse_error.101]"},
        {"[{\"id\":", "[json.exception.parse_error.101]"},
        {R"({"projects":[]})", "it is not a list"},
        {R"([[]])", "entry 1 is not an object"},
        {"[{" + valid + R"(,"automaticSigning":true},{"id":"y"}])", "entry 2 has no text \"name\""},
        {"[{" + valid + "}]", "entry 1 has no true or false \"automaticSigning\""},
        {"[{" + valid + R"(,"automaticSigning":"yes"}])",
         "entry 1 has no true or false \"automaticSigning\""},
        {R"([{"id":"x","name":"A","path":"/p","schemes":"App","configurations":[],)"
         R"("automaticSigning":true}])",
         "entry 1 has no list \"schemes\""},
        {R"([{"id":"x","name":"A","path":"/p","schemes":["App",1],"configurations":[],)"
         R"("automaticSigning":true}])",
         "entry 1 has an item of \"schemes\" that is not text"},
        {"[{" + valid + R"(,"automaticSigning":true,"teamID":42}])",
         "entry 1 has \"teamID\" that is not text"},
        {R"([{"id":7,"name":"A"}])", "entry 1 has no text \"id\""},
    };
    for (const auto& c : cases) {
        TestSupport::writeFile(registry(), c.content);
        std::string expected =
            "The project registry " + registry().string() + " is damaged: " + c.problem;
        EXPECT_TRUE(failure([] { ProjectStore::load(); }).starts_with(expected))
            << failure([] { ProjectStore::load(); });
        EXPECT_TRUE(failure([] {
                        ProjectStore::upsert(sample("z", "/p/Z.xcodeproj"));
                    }).starts_with(expected));
        EXPECT_TRUE(failure([] { ProjectStore::remove("x"); }).starts_with(expected));
        EXPECT_EQ(TestSupport::readFile(registry()), c.content) << "left as it was";
    }

    fs::remove(registry());
    fs::create_directory(registry());
    EXPECT_NE(failure([] { ProjectStore::load(); }).find(registry().string()), std::string::npos);
    EXPECT_TRUE(fs::is_directory(registry()));
}

TEST_F(ProjectStoreTest, AStateDirectoryThatCannotBeMadeFailsTheWrite) {
    TestSupport::writeFile(directory / "file", "x");
    TestSupport::ScopedEnvironment blocked("ZUQ_STATE_DIR", (directory / "file/state").string());
    EXPECT_NE(
        failure([] { ProjectStore::upsert(sample("a", "/p/A.xcodeproj")); }).find("Cannot create"),
        std::string::npos);
    EXPECT_EQ(TestSupport::readFile(directory / "file"), "x");
}

TEST_F(ProjectStoreTest, WritersInSeveralProcessesAndThreadsLoseNothing) {
    // Each process registers its own projects from two threads while the others do the same;
    // a read-modify-write that another process slipped between would drop entries.
    constexpr int processes = 4;
    constexpr int threads = 2;
    constexpr int each = 15;
    ProjectStore::upsert(sample("removed", "/p/Removed.xcodeproj"));
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::atomic<int> failed = 0;
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t) {
                workers.emplace_back([&failed, p, t] {
                    try {
                        for (int i = 0; i < each; ++i) {
                            std::string id = std::to_string(p) + "-" + std::to_string(t) + "-" +
                                             std::to_string(i);
                            ProjectStore::upsert(sample(id, "/p/" + id + ".xcodeproj"));
                            ProjectStore::load();
                        }
                        if (p == 0 && t == 0) {
                            ProjectStore::remove("removed");
                        }
                    } catch (...) {
                        failed = 1;
                    }
                });
            }
            for (auto& worker : workers) {
                worker.join();
            }
            ::_exit(failed);
        }
        children.push_back(pid);
    }
    for (pid_t child : children) {
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<std::string> stored = ids(ProjectStore::load());
    EXPECT_EQ(stored.size(), static_cast<std::size_t>(processes * threads * each));
    EXPECT_EQ(std::count(stored.begin(), stored.end(), "removed"), 0);
    for (const auto& entry : fs::directory_iterator(stateDirectory)) {
        EXPECT_TRUE(entry.path().filename() == "projects.json" ||
                    entry.path().filename() == "projects.lock")
            << "left behind: " << entry.path();
    }
}

TEST(Project, RelayFormAndSelection) {
    Project project{"id-1",    "Shop", "/Users/me/Shop.xcworkspace", {"Shop"},
                    {"Debug"}, "TEAM", "/Users/me/Export.plist",     false};
    EXPECT_EQ(project.json(), JSON::object({{"id", "id-1"},
                                            {"name", "Shop"},
                                            {"schemes", JSON::strings({"Shop"})},
                                            {"configurations", JSON::strings({"Debug"})}}));
    struct Case {
        std::string path;
        std::vector<std::string> selection;
    };
    const Case cases[] = {
        {"/a/Shop.xcworkspace", {"-workspace", "/a/Shop.xcworkspace"}},
        {"/a/Shop.xcodeproj", {"-project", "/a/Shop.xcodeproj"}},
        {"/a/Shop.xcworkspace.xcodeproj", {"-project", "/a/Shop.xcworkspace.xcodeproj"}},
        {"/a/project.xcworkspace/Shop.xcodeproj",
         {"-project", "/a/project.xcworkspace/Shop.xcodeproj"}},
    };
    for (const auto& c : cases) {
        project.path = c.path;
        EXPECT_EQ(project.selection(), c.selection) << c.path;
    }
}

} // namespace
