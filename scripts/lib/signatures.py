#!/usr/bin/python3
"""signatures.py EXE: the Authenticode signatures a PE file carries.

Reads the first entry of EXE's certificate table (the one Windows reads), a
PKCS #7 SignedData, PE32 or PE32+ alike, and prints a line for each
signature: the outer one, then each one nested in its signer's unsigned
attribute 1.3.6.1.4.1.311.2.4.1, in order:
    signature 1: SHA1, signed by /CN=..., timestamp: Authenticode
    signature 2 (nested): SHA256, signed by /CN=..., timestamp: RFC 3161
The digest is the one the signature's hash of the file is made with, named
as OpenSSL names it (SHA1, SHA256, ...); the signer is the subject of the
certificate the signer's information names, on one line as OpenSSL writes
it (/C=US/O=Example/CN=...). The timestamp is Authenticode (a
countersignature, unsigned attribute 1.2.840.113549.1.9.6, the kind Windows
XP reads), RFC 3161 (a time-stamp token, unsigned attribute
1.3.6.1.4.1.311.3.3.1), "Authenticode and RFC 3161", or none.
Exit 0; 1 when EXE carries no signature these can be read from (said on
standard error); 2 on a usage error.
"""
import struct
import subprocess
import sys

import pefile
from asn1crypto import algos, cms, core

CERTIFICATE_TABLE = pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_SECURITY']
PKCS_SIGNED_DATA = 2
NESTED = '1.3.6.1.4.1.311.2.4.1'
TIMESTAMPS = (('1.2.840.113549.1.9.6', 'Authenticode'), ('1.3.6.1.4.1.311.3.3.1', 'RFC 3161'))


class SpcIndirectDataContent(core.Sequence):
    """What an Authenticode signature signs: the file's hash, with its digest."""
    _fields = [('data', core.Any), ('message_digest', algos.DigestInfo)]


def present(value):
    """VALUE, or nothing to go through when the optional field is absent."""
    return [] if isinstance(value, core.Void) else value


def certificate_table(path):
    """The PKCS #7 bytes of the first entry of PATH's certificate table."""
    with open(path, 'rb') as f:
        data = f.read()
    pe = pefile.PE(data=data, fast_load=True)
    try:
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[CERTIFICATE_TABLE]
    except IndexError:
        entry = None
    if entry is None or entry.Size == 0:
        raise ValueError('it has no certificate table')
    start, size = entry.VirtualAddress, entry.Size  # a file offset, not an address
    table = data[start:start + size]
    if len(table) != size or size < 8:
        raise ValueError(f'its certificate table ({size} bytes at {start}) runs past the end of the file')
    length, _, kind = struct.unpack_from('<IHH', table)
    if kind != PKCS_SIGNED_DATA or not 8 < length <= size:
        raise ValueError(f'the first entry of its certificate table is no PKCS #7 signature '
                         f'(type {kind}, {length} bytes)')
    return table[8:length]


def subject(certificate):
    """The certificate's subject as OpenSSL writes a name on one line."""
    made = subprocess.run(['openssl', 'x509', '-inform', 'DER', '-noout', '-subject', '-nameopt', 'compat'],
                          input=certificate.dump(), capture_output=True, check=True)
    return made.stdout.decode('ascii').rstrip('\n').removeprefix('subject=')


def describe(content_info):
    """Digest, signer and timestamp of the signature CONTENT_INFO, and its signer's information."""
    if content_info['content_type'].native != 'signed_data':
        raise ValueError(f'a signature is {content_info["content_type"].native}, not a PKCS #7 SignedData')
    signed = content_info['content']
    signer = signed['signer_infos'][0]
    algorithm = signed['encap_content_info']['content'].parse(SpcIndirectDataContent)['message_digest'][
        'digest_algorithm']['algorithm']
    # sha256 is SHA256, sha512_224 SHA512-224; one OpenSSL has no name for stays dotted.
    digest = algorithm.dotted if algorithm.native == algorithm.dotted else algorithm.native.upper().replace('_', '-')
    sid = signer['sid']
    who = 'an unknown signer (its certificate is not in the signature)'
    for choice in present(signed['certificates']):
        certificate = choice.chosen
        if choice.name == 'certificate' and (
                sid.name == 'issuer_and_serial_number' and certificate.issuer == sid.chosen['issuer']
                and certificate.serial_number == sid.chosen['serial_number'].native
                or sid.name == 'subject_key_identifier' and certificate.key_identifier == sid.chosen.native):
            who = subject(certificate)
            break
    attributes = present(signer['unsigned_attrs'])
    kinds = [name for oid, name in TIMESTAMPS if any(a['type'].dotted == oid for a in attributes)]
    return f'{digest}, signed by {who}, timestamp: {" and ".join(kinds) or "none"}', attributes


def main():
    if len(sys.argv) != 2:
        sys.exit(print(__doc__.splitlines()[0], file=sys.stderr) or 2)
    path = sys.argv[1]
    try:
        line, attributes = describe(cms.ContentInfo.load(certificate_table(path)))
        lines = [line]
        for attribute in attributes:
            if attribute['type'].dotted == NESTED:
                lines += [describe(cms.ContentInfo.load(value.dump()))[0] for value in attribute['values']]
    except (OSError, pefile.PEFormatError, ValueError, TypeError, KeyError, IndexError, AttributeError,
            subprocess.CalledProcessError) as e:
        sys.exit(print(f'signatures.py: {path}: {e}', file=sys.stderr) or 1)
    for n, line in enumerate(lines, 1):
        print(f'signature {n}{" (nested)" if n > 1 else ""}: {line}')


if __name__ == '__main__':
    main()
