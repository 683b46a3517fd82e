#include "platform/linux/naslink/RcloneMountService.h"

#include <gtest/gtest.h>

#include "naslink/MountStatus.h"

namespace kv {
namespace {

TEST(RcloneMountServiceTest, ParsesMountPointsFromMountInfo) {
  const std::string text =
      "21 27 0:20 / /proc rw,relatime - proc proc rw\n"
      "45 27 0:40 / /home/anna/.kelvane/mounts/photos rw,nosuid,nodev,relatime - fuse.rclone :smb:photos rw\n"
      "46 27 0:41 / /media/my\\040disk rw - ext4 /dev/sdb1 rw\n"
      "\n";
  EXPECT_EQ(RcloneMountService::parseMountInfo(text),
            (std::vector<std::string>{"/proc", "/home/anna/.kelvane/mounts/photos", "/media/my disk"}));
  EXPECT_TRUE(RcloneMountService::parseMountInfo("").empty());
}

TEST(RcloneMountServiceTest, MapsRcloneOutputToStatuses) {
  struct Row {
    const char* output;
    int status;
  };
  const std::vector<Row> rows = {
      {"couldn't connect SMB: response error: The attempted logon is invalid. This is either due to a bad username "
       "or authentication information.",
       kMountStatusAuthRejected},
      {"couldn't connect SMB: dial tcp 127.0.0.1:4459: connect: connection refused", ECONNREFUSED},
      {"couldn't initialize SMB: response error: {Network Name Not Found} The specified share name cannot be found",
       ENOENT},
      {"dial tcp 10.0.0.1:445: i/o timeout", ETIMEDOUT},
      {"fuse: device not found, try 'modprobe fuse' first", ENODEV},
      {"something else entirely", EIO},
  };
  for (const auto& r : rows) EXPECT_EQ(RcloneMountService::statusForOutput(r.output), r.status) << r.output;
}

}  // namespace
}  // namespace kv
