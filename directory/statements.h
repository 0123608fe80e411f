// The directory's SQL statements, exactly as they are sent. %s takes a text (the
// address, or the channel name already escaped for its double-quoted literal), %d the
// port in host order, %u a join's starting draw.
#pragma once

#include "documents.h"
#include "platform.h"

#include <cstddef>
#include <cstdio>

// The catalogue: every channel with its group, in group-key order.
constexpr char catalogue_query[] =
    "select chgroup.groupid groupid,chgroup.name ChGroup,channel.name Channel from p2pdb.Channel channel "
    "left join p2pdb.group chgroup on channel.groupid=chgroup.groupid order by chgroup.groupid";

// quorvane: retires every registration of the sender's address, whatever port or channel.
constexpr char liveness_reset[] = "update p2pdb.userlist set alive=0 where IPV4=\"%s\"";

// The neighbour lists: the channel's rows in name order, and where names are equal (the
// tracker never writes one) a fresh choice for every join, spread over the whole channel. Each
// reads its listing's index from the join's starting draw (drawn by the tracker) to the top,
// then wraps round: the rows with no name at all (which only a looser schema than ours has,
// and which the index orders first), the unnamed rows below the start, then the named rows.
// A part stops at its LIMIT, a reply's worth, whatever the channel's size; no bound on the
// rows read, which would count whatever else the server's plan reads (the channel found by a
// scan where its name has no unique key) and end the list short. A peer can neither choose
// nor learn where its row is read.
struct neighbour_listing {
    const char* index;       // the listing index both parts read
    const char* alive_only;  // "u.alive=1 and ", or "" for every registration
    int rows;                // the most a reply takes
};

// A datagram's document holds at most 962 neighbours, each of the shortest.
constexpr int neighbours_per_datagram = static_cast<int>(most_neighbors_within(max_datagram_size));
static_assert(neighbours_per_datagram == 962);

// quorvane: the channel's alive registrations, as many as a datagram can hold.
constexpr neighbour_listing alive_listing = {"userlist_listing_alive", "u.alive=1 and ", neighbours_per_datagram};
// quorvane_tcp: every registration of the channel, alive or not, 1,200 at most.
constexpr neighbour_listing every_row_listing = {"userlist_listing_every_row", "", 1200};

constexpr char neighbour_query[] =
    "(select IPv4,port,u.name from p2pdb.userlist u force index (%s) left join p2pdb.channel c "
    "on u.iChannel=c.iChannel where c.name=\"%s\" and %su.name=\"\" and u.draw>=%u "
    "order by u.draw limit %d) union all "
    "(select IPv4,port,u.name from p2pdb.userlist u force index (%s) left join p2pdb.channel c "
    "on u.iChannel=c.iChannel where c.name=\"%s\" and %s"
    "(u.name=\"\" and u.draw<%u or u.name>\"\" or u.name is null) "
    "order by u.name,u.draw limit %d) limit %d";

// The neighbour query of a listing for a channel (escaped for its literal) from a starting
// draw, into buffer as snprintf writes: the length of the whole statement, NUL not counted.
inline int format_neighbour_query(char* buffer, std::size_t capacity, const neighbour_listing& listing,
                                  const char* channel, unsigned int start)
{
    return std::snprintf(buffer, capacity, neighbour_query, listing.index, channel, listing.alive_only, start,
                         listing.rows, listing.index, channel, listing.alive_only, start, listing.rows, listing.rows);
}

// One alive row for each channel of that name; none, and no error, for an unknown name.
constexpr char registration[] =
    "insert into p2pdb.userlist(IPv4, port, IPv6, iChannel,alive) select \"%s\",%d,\"\",iChannel,1 "
    "from p2pdb.channel where name=\"%s\"";
