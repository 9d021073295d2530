// kvtctl's settings-file commands against a file thread answering through
// the mapped request-flag table: usage, missing files and a refusal.
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

    // A refused file: flag 0 with its reason logged.
    sb.write("/nx40.csv", FILE_UPDOWN::export_text(FILE_UPDOWN::KIND_AI));
    EXPECT_EQ(kvtctl_file_command(sb.root(), {"import-settings", "nx40", sb.root() + "/nx40.csv"}), 1);
    EXPECT_FALSE(sb.exists("/tmp/MeshT_config.csv"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(kvtctl_file_command(sb.root(), {"file-flag", "nx40"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0\n");
}
