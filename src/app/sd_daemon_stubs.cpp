// Only the static jiggle (JIGGLE_STATIC) has this file. libdbus-1.a refers
// to two functions of libsystemd's sd-daemon API, with which a bus daemon
// takes the sockets that systemd opened for it. Debian has no libsystemd.a,
// and a bus client never calls them: they answer as libsystemd does outside
// socket activation, with no sockets passed.
extern "C" {

int sd_listen_fds(int /*unset_environment*/)
{
    return 0;
}

int sd_is_socket(int /*fd*/, int /*family*/, int /*type*/, int /*listening*/)
{
    return 0;
}
}
