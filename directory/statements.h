// The directory's SQL statements, exactly as they are sent. %s takes a text (the
// address, or the channel name already escaped for its double-quoted literal), %d the
// port in host order, %u a join's starting draw.
#pragma once

// The catalogue: every channel with its group, in group-key order.
constexpr char catalogue_query[] =
    "select chgroup.groupid groupid,chgroup.name ChGroup,channel.name Channel from p2pdb.Channel channel "
    "left join p2pdb.group chgroup on channel.groupid=chgroup.groupid order by chgroup.groupid";

// quorvane: retires every registration of the sender's address, whatever port or channel.
constexpr char liveness_reset[] = "update p2pdb.userlist set alive=0 where IPV4=\"%s\"";

// The neighbour lists: the channel's rows in name order, and where names are equal (the
// tracker never writes one) a fresh choice for every join, spread over the whole channel. Each
// reads its channel's listing index from the join's starting draw (the %u, drawn by the
// tracker) to the top, then wraps round to the rows below it and goes on to the named rows
// (and rows with no name at all, which only a looser schema than ours has). A part stops at
// its LIMIT, a reply's worth, whatever the channel's size; no bound on the rows read, which
// would count whatever else the server's plan reads (the channel found by a scan where its
// name has no unique key) and end the list short. A peer can neither choose nor learn where
// its row is read.
//
// quorvane: the channel's alive registrations; a datagram holds at most 962 neighbours.
constexpr char neighbour_query[] =
    "(select IPv4,port,u.name from p2pdb.userlist u force index (userlist_listing_alive) left join p2pdb.channel c "
    "on u.iChannel=c.iChannel where c.name=\"%s\" and u.alive=1 and u.name=\"\" and u.draw>=%u "
    "order by u.draw limit 962) union all "
    "(select IPv4,port,u.name from p2pdb.userlist u force index (userlist_listing_alive) left join p2pdb.channel c "
    "on u.iChannel=c.iChannel where c.name=\"%s\" and u.alive=1 and "
    "(u.name=\"\" and u.draw<%u or u.name>\"\" or u.name is null) "
    "order by u.name,u.draw limit 962) limit 962";

// quorvane_tcp: every registration of the channel, alive or not, 1,200 at most.
constexpr char neighbour_query_every_row[] =
    "(select IPv4,port,u.name from p2pdb.userlist u force index (userlist_listing_every_row) left join "
    "p2pdb.channel c on u.iChannel=c.iChannel where c.name=\"%s\" and u.name=\"\" and u.draw>=%u "
    "order by u.draw limit 1200) union all "
    "(select IPv4,port,u.name from p2pdb.userlist u force index (userlist_listing_every_row) left join "
    "p2pdb.channel c on u.iChannel=c.iChannel where c.name=\"%s\" and "
    "(u.name=\"\" and u.draw<%u or u.name>\"\" or u.name is null) "
    "order by u.name,u.draw limit 1200) limit 1200";

// One alive row for each channel of that name; none, and no error, for an unknown name.
constexpr char registration[] =
    "insert into p2pdb.userlist(IPv4, port, IPv6, iChannel,alive) select \"%s\",%d,\"\",iChannel,1 "
    "from p2pdb.channel where name=\"%s\"";
