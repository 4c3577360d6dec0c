// tlnimg's commands. Each returns the process exit status, having written any
// error to standard error as "tlnimg: CMD PATH: REASON".
#pragma once

#include <string>

namespace tlnimg {

int cmd_info(const std::string& img);
int cmd_check(const std::string& img);
// ls, tree, stat and cat: tlnc's command NAME on the image's tree.
int cmd_served(const std::string& name, const std::string& img, bool long_form,
               const std::string& path);
int cmd_extract(const std::string& img, const std::string& dir, bool force);
int cmd_extract_tar(const std::string& img);
int cmd_pack(const std::string& dir, const std::string& img);
int cmd_diff(const std::string& a, const std::string& b);

}  // namespace tlnimg
