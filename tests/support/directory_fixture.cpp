#include "directory_fixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

static std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

static std::string server_script()
{
    return environment("QUORVANE_DIRECTORY_SERVER");
}

static std::string state_folder()
{
    return environment("QUORVANE_DIRECTORY_STATE");
}

MYSQL* connect_as_admin()
{
    std::string socket = state_folder() + "/mariadbd.sock";
    MYSQL* admin = mysql_init(nullptr);
    if (state_folder().empty() || !admin ||
        !mysql_real_connect(admin, "localhost", "root", nullptr, nullptr, 0, socket.c_str(), 0)) {
        ADD_FAILURE() << "no admin connection (run under in_netns.sh --directory): "
                      << (admin ? mysql_error(admin) : "no handle");
        if (admin)
            mysql_close(admin);
        return nullptr;
    }
    return admin;
}

bool run_admin_sql(MYSQL* admin, const std::string& statement)
{
    if (mysql_real_query(admin, statement.data(), statement.size()) != 0) {
        ADD_FAILURE() << statement.substr(0, 200) << ": " << mysql_error(admin);
        return false;
    }
    if (MYSQL_RES* result = mysql_store_result(admin))
        mysql_free_result(result);
    return true;
}

std::vector<admin_row> admin_rows(MYSQL* admin, const std::string& query)
{
    std::vector<admin_row> rows;
    if (mysql_real_query(admin, query.data(), query.size()) != 0) {
        ADD_FAILURE() << query << ": " << mysql_error(admin);
        return rows;
    }
    MYSQL_RES* result = mysql_store_result(admin);
    if (!result)
        return rows;
    unsigned int columns = mysql_num_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        admin_row values;
        for (unsigned int i = 0; i < columns; ++i)
            values.push_back(row[i] ? std::optional<std::string>(std::string(row[i], lengths[i])) : std::nullopt);
        rows.push_back(values);
    }
    mysql_free_result(result);
    return rows;
}

std::string admin_value(MYSQL* admin, const std::string& query)
{
    std::vector<admin_row> rows = admin_rows(admin, query);
    return rows.empty() || rows[0].empty() || !rows[0][0] ? "" : *rows[0][0];
}

bool wait_for_value(MYSQL* admin, const std::string& query, const std::string& wanted, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        if (admin_value(admin, query) == wanted)
            return true;
        usleep(20000);
    }
    return admin_value(admin, query) == wanted;
}

void clear_directory(MYSQL* admin)
{
    // Truncated, not deleted: the next channel key starts at 1 again, and with it the
    // tracker account's row limit, which grows with that key.
    for (const char* table : {"userlist", "userlist_archive", "channel", "group"})
        run_admin_sql(admin, std::string("truncate table p2pdb.`") + table + "`");
}

bool reset_to_sample_catalogue(MYSQL* admin)
{
    clear_directory(admin);
    return load_sql_file(sample_catalogue_path());
}

static bool run_script(const std::string& arguments)
{
    std::string command = "sh '" + server_script() + "' " + arguments;
    return !server_script().empty() && std::system(command.c_str()) == 0;
}

bool load_sql_file(const std::string& path)
{
    return run_script("sql '" + state_folder() + "' < '" + path + "'");
}

std::string sample_catalogue_path()
{
    return std::string(QUORVANE_SOURCE_DIR) + "/directory/sample_catalogue.sql";
}

bool load_schema()
{
    return run_script("schema '" + state_folder() + "'");
}

std::string hex_literal(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string literal = "X'";
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        literal += digits[byte >> 4];
        literal += digits[byte & 15];
    }
    return literal + "'";
}

bool stop_directory_server()
{
    return run_script("stop '" + state_folder() + "'");
}

bool start_directory_server()
{
    return run_script("start '" + state_folder() + "' 3306");
}

long status_counter(MYSQL* admin, const std::string& name)
{
    std::vector<admin_row> rows = admin_rows(admin, "show global status like '" + name + "'");
    return rows.empty() || !rows[0][1] ? -1 : std::atol(rows[0][1]->c_str());
}

int threads_connected(MYSQL* admin)
{
    return static_cast<int>(status_counter(admin, "Threads_connected"));
}

bool only_admin_connected(MYSQL* admin, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (threads_connected(admin) == 1)
            return true;
        usleep(10000);
    }
    return threads_connected(admin) == 1;
}

int notice_count(const std::string& errors)
{
    int count = 0;
    for (std::size_t at = errors.find(notice_line); at != std::string::npos; at = errors.find(notice_line, at + 1))
        ++count;
    return count;
}

std::string peer_address(int n)
{
    return "127.0." + std::to_string(n / 250) + "." + std::to_string(2 + n % 250);
}

void TrackerOnDirectory::SetUp()
{
    admin = connect_as_admin();
    ASSERT_NE(admin, nullptr);
    ASSERT_TRUE(reset_to_sample_catalogue(admin));
    ASSERT_TRUE(start_udp_service("quorvane", 8848, &tracker));
}

void TrackerOnDirectory::TearDown()
{
    for (int peer : peers)
        close(peer);
    stop_program(&tracker);
    if (admin)
        mysql_close(admin);
}

int TrackerOnDirectory::open_peer(int n)
{
    int peer = bound_udp_socket(peer_address(n).c_str(), 0);
    EXPECT_GE(peer, 0);
    peers.push_back(peer);
    return peer;
}

bool TrackerOnDirectory::send_message(int peer, const std::string& message)
{
    return send_udp(peer, message, "127.0.0.1", 8848);
}

std::string TrackerOnDirectory::reply_to(int peer, int timeout_ms)
{
    std::string reply;
    return receive_udp(peer, &reply, timeout_ms) ? reply : no_reply;
}

std::string TrackerOnDirectory::ask(int peer, const std::string& message, int timeout_ms)
{
    EXPECT_TRUE(send_message(peer, message));
    return reply_to(peer, timeout_ms);
}
