// quorvane_tcp's channel join.
#include "directory.h"

// Not answered yet: the join comes with the directory work.
void answer_channel_join(socket_handle, const sockaddr_in&, const std::string&) {}
