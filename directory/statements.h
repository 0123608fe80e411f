// The directory's SQL statements, exactly as they are sent. %s takes a text (the
// address, or the channel name already escaped for its double-quoted literal), %d the
// port in host order.
#pragma once

// The catalogue: every channel with its group, in group-key order.
constexpr char catalogue_query[] =
    "select chgroup.groupid groupid,chgroup.name ChGroup,channel.name Channel from p2pdb.Channel channel "
    "left join p2pdb.group chgroup on channel.groupid=chgroup.groupid order by chgroup.groupid";

// quorvane: retires every registration of the sender's address, whatever port or channel.
constexpr char liveness_reset[] = "update p2pdb.userlist set alive=0 where IPV4=\"%s\"";

// quorvane: the channel's alive registrations, by peer name.
constexpr char neighbour_query[] =
    "select IPv4,port,u.name from p2pdb.userlist u left join p2pdb.channel c on u.iChannel=c.iChannel "
    "where c.name=\"%s\" and u.alive=1 order by u.name";

// quorvane_tcp: every registration of the channel, alive or not.
constexpr char neighbour_query_every_row[] =
    "select IPv4,port,u.name from p2pdb.userlist u left join p2pdb.channel c on u.iChannel=c.iChannel "
    "where c.name=\"%s\" order by u.name";

// One alive row for each channel of that name; none, and no error, for an unknown name.
constexpr char registration[] =
    "insert into p2pdb.userlist(IPv4, port, IPv6, iChannel,alive) select \"%s\",%d,\"\",iChannel,1 "
    "from p2pdb.channel where name=\"%s\"";
