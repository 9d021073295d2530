// kvtctl's settings-file commands against a file thread answering through
// the mapped request-flag table, as the web UI and the service meet.
#include <gtest/gtest.h>

#include <thread>

#include "../../tools/kvtctl_files.h"
#include "common.h"
#include "fileupdown.h"
#include "sandbox.h"

namespace {

// The shared tables mapped in the sandbox and the file thread running.
class FileService {
public:
    FileService()
    {
        reset_run_flags();
        monitor = new MONITOR_TABLE_CLASS();
        ok_ = mmap_open() == 0;
        if (ok_) th_ = std::thread(file_thread, nullptr);
    }
    ~FileService()
    {
        control = 0;
        if (th_.joinable()) th_.join();
        mmap_close();
        delete monitor;
        monitor = nullptr;
        reset_run_flags();
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
    std::thread th_;
};

}  // namespace

TEST(KvtctlFiles, ExportEditImportThroughTheService)
{
    TestSandbox sb;
    for (auto& a : sensor_settings.analog) copy_text(a.name, "before");
    FileService svc;
    ASSERT_TRUE(svc.ok());
    db_save.clear();

    const std::string dest = sb.root() + "/ai.csv";
    ASSERT_EQ(kvtctl_file_command(sb.root(), {"export-settings", "ai", dest}), 0);
    std::string exported = sb.read("/ai.csv");
    EXPECT_EQ(exported, FILE_UPDOWN::export_text(FILE_UPDOWN::KIND_AI));
    EXPECT_EQ(monitor->requestflg->analog_set_configuration, 1);

    size_t at = exported.find("\n1,before,");
    ASSERT_NE(at, std::string::npos);
    exported.replace(at + 3, 6, "after");
    sb.write("/ai.csv", exported);
    ASSERT_EQ(kvtctl_file_command(sb.root(), {"import-settings", "ai", dest}), 0);
    EXPECT_STREQ(sensor_settings.analog[0].name, "after");
    EXPECT_STREQ(sensor_settings.analog[1].name, "before");
    EXPECT_FALSE(db_save.empty());

    // The same file offered as another kind is refused and changes nothing.
    ASSERT_EQ(kvtctl_file_command(sb.root(), {"import-settings", "nx40", dest}), 1);
    EXPECT_EQ(monitor->requestflg->kvt_nx40_set_configuration, 0);
    EXPECT_FALSE(sb.exists("/tmp/MeshT_config.csv"));

    testing::internal::CaptureStdout();
    EXPECT_EQ(kvtctl_file_command(sb.root(), {"file-flag", "nx40"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0\n");
}

TEST(KvtctlFiles, UsageErrorsAndMissingFiles)
{
    TestSandbox sb;
    FileService svc;
    ASSERT_TRUE(svc.ok());
    const std::vector<std::vector<std::string>> usage = {
        {},
        {"export-settings"},
        {"export-settings", "ai"},
        {"export-settings", "temperature", "/tmp/x"},
        {"file-flag", "ai", "extra"},
        {"send", "1,2"},
    };
    for (const auto& args : usage) EXPECT_EQ(kvtctl_file_command(sb.root(), args), 2) << testing::PrintToString(args);

    EXPECT_EQ(kvtctl_file_command(sb.root(), {"import-settings", "dio", sb.root() + "/missing.csv"}), 1);
    EXPECT_EQ(monitor->requestflg->digitalio_set_configuration, 0);  // nothing was requested
    EXPECT_EQ(kvtctl_file_command(sb.root(), {"export-settings", "dio", sb.root() + "/no/such/dir/x.csv"}), 1);
    EXPECT_EQ(kvtctl_file_command(sb.root() + "/nowhere", {"file-flag", "dio"}), 1);
}
