// quorvane_tcp: the tracker's message handling over one TCP connection to the tracker host.
int main()
{
    // Not connected yet: the stream client comes with the TCP work.
    return 0;
}
