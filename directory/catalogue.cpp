// The channel catalogue request.
#include "directory.h"

// Not answered yet: the catalogue comes with the directory work.
void answer_catalogue_request(socket_handle, const sockaddr_in&) {}
