"""The CA certificates that --trust gives: issuers that a signature may
leave out, as a commercial code-signing certificate is sent with its
intermediates and without its root. Each is held to the policy of
signature_chain where it issues the top of a chain, and vouches for that
top with its signature."""

from asn1crypto import pem, x509

# A CA certificate is a few kilobytes; a file of more is not one.
LARGEST_FILE = 64 << 10


class Unreadable(Exception):
    """Why a file holds no one certificate."""


def read(path):
    """The one certificate in the file PATH, PEM or DER."""
    try:
        with open(path, "rb") as file:
            data = file.read(LARGEST_FILE + 1)
    except OSError as fault:
        raise Unreadable(f"cannot be read ({fault.strerror or 'error'})") from None
    try:
        if len(data) > LARGEST_FILE:
            raise ValueError
        if pem.detect(data):
            if [kind for kind, _, _ in pem.unarmor(data, multiple=True)] != ["CERTIFICATE"]:
                raise ValueError
            data = pem.unarmor(data)[2]
        certificate = x509.Certificate.load(data, strict=True)
        certificate.native  # pylint: disable=pointless-statement # parsed whole now, not when first used
    except Exception:  # pylint: disable=broad-except # whatever the parsers make of the file
        raise Unreadable("holds no one certificate, PEM or DER") from None
    return certificate
