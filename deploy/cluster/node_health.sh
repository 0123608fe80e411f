#!/bin/sh
# The health check of one directory node, as HAProxy asks it over HTTP on port 9200: 200
# while the node is Synced with the cluster, 503 otherwise (starting, joining, a donor of
# a state transfer, not in the primary component, or down). socat runs it per connection.
#   node_health.sh SOCKET
socket=$1
# The request is read to its blank line before answering, so that closing never resets it.
while IFS= read -r line; do
    case "$line" in ''|"$(printf '\r')") break ;; esac
done
state=$(mariadb --no-defaults --socket="$socket" --user=root --connect-timeout=1 --batch --skip-column-names \
    -e "show global status like 'wsrep_local_state'" 2>/dev/null | awk '{ print $2 }')
if [ "$state" = 4 ]; then
    printf 'HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 7\r\n\r\nsynced\n'
else
    printf 'HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 11\r\n\r\nnot synced\n'
fi
