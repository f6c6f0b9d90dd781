"""Connecting to a Dask scheduler safely: TLS with certificates, and a warning for plain TCP.

A Dask scheduler runs whatever its clients send, and its workers unpickle whatever comes to
them. Over ``tls://`` with mutual authentication, only holders of a certificate signed by the
cluster's CA take part; over ``tcp://`` anyone who can reach the port does.
"""

import os
import re
import warnings

from gmms.errors import GmmsError

README_SECTION = "Running on a cluster safely"
NEEDS = ("a tls:// scheduler needs a CA file and a certificate signed by that CA: "
         "--tls-ca-file and --tls-cert (and --tls-key unless the key is in the certificate file), "
         "or distributed.comm.tls.ca-file and distributed.comm.tls.client.cert/.key in the Dask "
         "configuration")


class InsecureSchedulerWarning(UserWarning):
    """The scheduler is reached over plain TCP from another host."""


def add_options(parser):
    """Add --tls-ca-file, --tls-cert and --tls-key to a command that takes --scheduler."""
    group = parser.add_argument_group(
        "TLS", "for a tls:// scheduler (default: distributed.comm.tls.* of the Dask configuration)")
    group.add_argument("--tls-ca-file", metavar="FILE",
                       help="the CA certificate that signs the cluster's certificates (PEM)")
    group.add_argument("--tls-cert", metavar="FILE", help="this client's certificate (PEM)")
    group.add_argument("--tls-key", metavar="FILE",
                       help="this client's private key (PEM), unless it is in --tls-cert")


def security_from(scheduler, security=None, ca_file=None, cert=None, key=None):
    """The ``distributed.security.Security`` to reach ``scheduler`` with, or None for plain TCP.

    ``security`` is a ``Security`` made by the caller; else ``ca_file``, ``cert`` and ``key``
    name PEM files; else a ``tls://`` address takes them from the Dask configuration
    (``distributed.comm.tls.ca-file``, ``distributed.comm.tls.client.cert`` and ``.key``).
    Warns (InsecureSchedulerWarning) when a ``tcp://`` address names another host.
    Raises GmmsError when the files are missing, unreadable or unusable.
    """
    paths = {"CA file": ca_file, "certificate": cert, "key": key}
    given = any(path is not None for path in paths.values())
    if security is not None and given:
        raise ValueError("give a Security or the TLS file paths, not both")
    if scheduler is None:
        if security is not None or given:
            raise GmmsError("TLS settings are used only with a scheduler address")
        return None                             # and Dask stays unloaded for a serial run

    from distributed.comm.addressing import parse_address
    from distributed.security import Security

    if security is not None and not isinstance(security, Security):
        raise TypeError(f"security must be a distributed.security.Security, "
                        f"not {type(security).__name__}")

    scheme, location = parse_address(scheduler)
    if scheme == "tcp" and not _is_loopback(location):
        warnings.warn(f"{scheduler} is neither encrypted nor authenticated: anyone who can reach "
                      f"it can run code on the workers; use tls://HOST:PORT with --tls-ca-file, "
                      f"--tls-cert and --tls-key (README: \"{README_SECTION}\")",
                      InsecureSchedulerWarning, stacklevel=2)
    if security is not None:
        return security
    if given:
        if scheme != "tls":
            raise GmmsError(f"TLS files are given but the scheduler address {scheduler} "
                                 f"is not tls://HOST:PORT")
        if ca_file is None or cert is None:
            raise GmmsError(NEEDS)
        security = Security(tls_ca_file=os.fspath(ca_file), tls_client_cert=os.fspath(cert),
                            tls_client_key=None if key is None else os.fspath(key),
                            require_encryption=True)
    elif scheme == "tls":
        security = Security()                   # from the Dask configuration
        paths = {"CA file": security.tls_ca_file, "certificate": security.tls_client_cert,
                 "key": security.tls_client_key}
        if not security.tls_ca_file or not security.tls_client_cert:
            raise GmmsError(NEEDS)
    else:
        return None
    _check(paths, security)
    return security


def _check(paths, security):
    """Fail now, naming the file, rather than at the handshake with Dask's words."""
    import ssl

    for role, path in paths.items():
        if path is None or "\n" in str(path):   # Dask also takes the PEM text itself
            continue
        try:
            with open(path, "rb"):
                pass
        except OSError as error:
            raise GmmsError(f"cannot read the TLS {role} {os.fspath(path)}: "
                                 f"{error.strerror or error}") from None
    try:
        security.get_connection_args("client")
    except (ssl.SSLError, OSError, ValueError) as error:
        names = ", ".join(f"{role} {path}" for role, path in paths.items() if path is not None)
        raise GmmsError(f"unusable TLS files ({names}): {error}") from None


def _is_loopback(location):
    import ipaddress
    import socket

    from distributed.comm.addressing import parse_host_port

    host = parse_host_port(location, 0)[0]
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        pass
    try:
        found = socket.getaddrinfo(host, None)
    except OSError:
        return False
    return all(ipaddress.ip_address(info[4][0].split("%")[0]).is_loopback for info in found)


def connection_error(scheduler, error):
    """The GmmsError for a failed connection, saying which side refused a TLS handshake."""
    prefix = f"cannot reach the Dask scheduler at {scheduler}"
    cause, seen = error, set()
    while cause is not None and id(cause) not in seen:
        seen.add(id(cause))
        # Dask passes some handshake failures on as text only ("...: SSLError: [SSL: ...] ...").
        found = re.search(r"\[SSL: (\w+)\].*", str(cause))
        if found is not None:
            why = _why(found[1])
            return GmmsError(f"{prefix}: TLS handshake failed{f' ({why})' if why else ''}: "
                                  f"{found[0]}")
        cause = cause.__cause__ or cause.__context__
    if "during handshake" in str(error) and not scheduler.startswith("tls://"):
        return GmmsError(f"{prefix}: {error} (if it uses TLS, give a tls:// address)")
    return GmmsError(f"{prefix}: {error}")


def _why(reason):
    if reason == "CERTIFICATE_VERIFY_FAILED":
        return "the scheduler's certificate is not signed by this CA file"
    if reason == "WRONG_VERSION_NUMBER":
        return "the scheduler does not speak TLS"
    if "ALERT" in reason:
        return "the scheduler refused this certificate: is it signed by the cluster's CA?"
    return None
