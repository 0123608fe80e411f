// The private directory server that `in_netns.sh --directory` runs for a test: an admin
// connection to it over its socket, table contents, and stopping and starting it.
#pragma once

#include "directory_account.h"
#include "e2e_support.h"

#include <gtest/gtest.h>
#include <mysql.h>

#include <optional>
#include <string>
#include <vector>

// What a peer got when no reply came, and the reply to a join of an empty or unknown channel.
inline const std::string no_reply = "(no reply)";
inline const std::string empty_neighbors = std::string("<Neighbors></Neighbors>") + '\0';
// The operator notice on standard error, and how many of them errors holds.
inline const std::string notice_line = "something wrong,check program\n";
int notice_count(const std::string& errors);

// Peer n speaks from an address of its own: 127.0.<n / 250>.<2 + n % 250>, 127.0.0.2 first.
std::string peer_address(int n);

// A private directory holding the sample catalogue, and quorvane serving it.
class TrackerOnDirectory : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A UDP socket of peer n, closed when the test ends.
    int open_peer(int n);
    bool send_message(int peer, const std::string& message);
    // The reply within the time-out, or no_reply.
    std::string reply_to(int peer, int timeout_ms);
    std::string ask(int peer, const std::string& message, int timeout_ms = 3000);
    MYSQL* admin = nullptr;
    child_process tracker;
    std::vector<int> peers;
};

// A row as the admin reads it; nullopt for an SQL NULL.
using admin_row = std::vector<std::optional<std::string>>;

// Root over the state folder's socket; null (and a test failure) when it cannot connect.
MYSQL* connect_as_admin();
// Runs one statement; false (and a test failure naming the statement) when it fails.
bool run_admin_sql(MYSQL* admin, const std::string& statement);
std::vector<admin_row> admin_rows(MYSQL* admin, const std::string& query);
// The first column of the first row, or "" when there is none.
std::string admin_value(MYSQL* admin, const std::string& query);
// Waits (bounded) until the admin's query gives the wanted value.
bool wait_for_value(MYSQL* admin, const std::string& query, const std::string& wanted, int timeout_ms);

// Empties the tables of the catalogue and the registrations.
void clear_directory(MYSQL* admin);
// Empties them, then loads the sample catalogue; false when it could not be loaded.
bool reset_to_sample_catalogue(MYSQL* admin);
// Loads a file of statements with the mariadb client, as the directory server script does.
bool load_sql_file(const std::string& path);
// The repository's directory/sample_catalogue.sql.
std::string sample_catalogue_path();
// Loads the schema again, as the directory server script does.
bool load_schema();

// X'..' literal: any bytes, as the names of VARBINARY columns.
std::string hex_literal(const std::string& bytes);

// Stops the server cleanly, or starts it again on its port, with the project's script.
bool stop_directory_server();
bool start_directory_server();

// A global status counter of the server, such as Connections; -1 if unknown.
long status_counter(MYSQL* admin, const std::string& name);
// The server's Threads_connected, counting the admin connection itself.
int threads_connected(MYSQL* admin);
// Waits (bounded) until only the admin connection is left; closes take a moment server-side.
bool only_admin_connected(MYSQL* admin, int timeout_ms);
