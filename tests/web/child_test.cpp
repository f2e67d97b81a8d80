// A child of the page's server gets its own three pipes and no other descriptor of the server's,
// even one opened without close-on-exec.
#include "web/child.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/unique_fd.h"

TEST(WebChild, GetsOnlyItsOwnPipes) {
    // what a library might leave open to children: no O_CLOEXEC
    const base::unique_fd open_file(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(open_file);
    int status = -1;
    const std::string fds =
        web::run_for_output({"/bin/sh", {"-c", "ls /proc/$$/fd"}, {}, {}}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(fds, "0\n1\n2\n");
}
