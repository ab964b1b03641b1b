#!/usr/bin/python3
"""pkcs11key.py MODULE URI PUBLIC_OUT [CERT_OUT]: opens the signing key that the
PKCS #11 URI (RFC 7512) names on a token, through the token maker's
PKCS #11 library MODULE, for scripts/release.sh.

The PIN is the first line read from file descriptor 3; it is never an
argument and never printed. The token is logged in to once: a PIN the token
refuses is never tried again, so a token that locks itself after a few wrong
PINs loses one try per run at most.

Writes the key's public key (PEM) to PUBLIC_OUT and, with CERT_OUT, the
certificate on the token that goes with the key (the same id, or else the
same label; PEM) to CERT_OUT. Prints what names the key, one "name: value"
line each (token, manufacturer, model, serial, key). On stderr, one message
when it fails, and a line when the token says its PIN is running out of
tries.

Exit code 0 when the key was found and read after one login; 1 when the
token, the key or its certificate cannot be found, or the PIN was refused
(the message names the token, and says when the token reports its PIN
locked or its next try the last); 2 on a usage error.
"""
import os
import sys
import urllib.parse

import PyKCS11
from asn1crypto import core, keys, pem, x509


class Refused(Exception):
    """A failure to report in one message."""


def parse(uri):
    """The URI's attributes, path and query, percent-decoded: a dict of str
    (bytes for id)."""
    if not uri.startswith('pkcs11:'):
        raise Refused('%s: not a PKCS#11 URI (pkcs11:...)' % uri)
    path, _, query = uri[len('pkcs11:'):].partition('?')
    attributes = {}
    for part in [p for p in path.split(';') if p] + [q for q in query.split('&') if q]:
        name, _, value = part.partition('=')
        attributes[name] = (urllib.parse.unquote_to_bytes(value) if name == 'id'
                            else urllib.parse.unquote(value))
    if 'pin-value' in attributes:
        raise Refused('the URI carries a PIN (pin-value), which puts it on a command line')
    return attributes


def text(value):
    return (value if isinstance(value, str) else bytes(value).decode(errors='replace')).strip(' \0')


def token_name(info):
    return '"%s" (%s %s, serial %s)' % (text(info.label), text(info.manufacturerID), text(info.model),
                                       text(info.serialNumber))


def find_slot(lib, wanted):
    """The one slot whose token the URI's token and slot attributes match."""
    matches = []
    for slot in lib.getSlotList(tokenPresent=True):
        info, slot_info = lib.getTokenInfo(slot), lib.getSlotInfo(slot)
        have = {'token': info.label, 'manufacturer': info.manufacturerID, 'model': info.model,
                'serial': info.serialNumber, 'slot-description': slot_info.slotDescription,
                'slot-manufacturer': slot_info.manufacturerID, 'slot-id': str(slot)}
        if all(text(have[k]) == v for k, v in wanted.items() if k in have):
            matches.append((slot, info))
    if not matches:
        raise Refused('no token that the module has matches the URI')
    if len(matches) > 1:
        raise Refused('%d tokens match the URI: name one, with token= or serial=' % len(matches))
    return matches[0]


def pin_warnings(flags):
    """What the token's flags say of the tries left, as sentences."""
    said = []
    if flags & PyKCS11.CKF_USER_PIN_LOCKED:
        said.append('the token says its PIN is locked')
    elif flags & PyKCS11.CKF_USER_PIN_FINAL_TRY:
        said.append('the token says that the next PIN try is its last: a wrong PIN then locks it')
    elif flags & PyKCS11.CKF_USER_PIN_COUNT_LOW:
        said.append('the token says that few PIN tries are left')
    return said


def login(lib, slot, info, pin):
    """A session logged in to the token: one C_Login, never retried."""
    name = token_name(info)
    if info.flags & PyKCS11.CKF_USER_PIN_LOCKED:
        raise Refused('token %s: its PIN is locked; no login was tried' % name)
    for warning in pin_warnings(info.flags):
        print('token %s: %s' % (name, warning), file=sys.stderr)
    session = lib.openSession(slot)
    try:
        session.login(pin)
    except PyKCS11.PyKCS11Error as e:
        after = pin_warnings(lib.getTokenInfo(slot).flags)
        if e.value == PyKCS11.CKR_PIN_INCORRECT:
            why = 'the PIN was refused by token %s (CKR_PIN_INCORRECT)' % name
        elif e.value == PyKCS11.CKR_PIN_LOCKED:
            why = 'token %s has locked its PIN (CKR_PIN_LOCKED)' % name
        else:
            why = 'the login to token %s failed: %s' % (name, PyKCS11.CKR.get(e.value, e.value))
        raise Refused('; '.join([why] + after) + '; no other login was tried')
    return session


def template(kind, attributes):
    found = [(PyKCS11.CKA_CLASS, kind)]
    if 'object' in attributes:
        found.append((PyKCS11.CKA_LABEL, attributes['object']))
    if 'id' in attributes:
        found.append((PyKCS11.CKA_ID, tuple(attributes['id'])))
    return found


def value(session, handle, attribute):
    return bytes(session.getAttributeValue(handle, [attribute], allAsBinary=True)[0])


def ec_point(raw):
    """An EC point from CKA_EC_POINT: DER in an OCTET STRING as PKCS #11
    asks, or bare as some tokens give it."""
    try:
        inner = core.OctetString.load(raw, strict=True).native
    except ValueError:
        return raw
    return inner if inner[:1] in (b'\x02', b'\x03', b'\x04') else raw


def public_key(session, key, attributes):
    """The private key's public key, as a DER SubjectPublicKeyInfo."""
    kind = session.getAttributeValue(key, [PyKCS11.CKA_KEY_TYPE])[0]
    if kind == PyKCS11.CKK_RSA:
        modulus, exponent = (int.from_bytes(value(session, key, a), 'big')
                             for a in (PyKCS11.CKA_MODULUS, PyKCS11.CKA_PUBLIC_EXPONENT))
        info = keys.PublicKeyInfo({'algorithm': {'algorithm': 'rsa'},
                                   'public_key': keys.RSAPublicKey({'modulus': modulus,
                                                                    'public_exponent': exponent})})
    elif kind == PyKCS11.CKK_EC:
        # The point is the public key object's: a private key need not show it.
        publics = session.findObjects(template(PyKCS11.CKO_PUBLIC_KEY, attributes))
        if len(publics) != 1:
            raise Refused('the EC key has %d public key objects beside it, not 1' % len(publics))
        point = ec_point(value(session, publics[0], PyKCS11.CKA_EC_POINT))
        params = keys.ECDomainParameters.load(value(session, key, PyKCS11.CKA_EC_PARAMS))
        info = keys.PublicKeyInfo({'algorithm': {'algorithm': 'ec', 'parameters': params},
                                   'public_key': point})
    else:
        raise Refused('the key is neither RSA nor EC (CKK %s)' % kind)
    return info.dump()


def certificate(session, key, spki):
    """The certificate on the token that goes with the key: the same id (or
    label), its public key the key's when several are there. DER."""
    key_id, label = (bytes(session.getAttributeValue(key, [a], allAsBinary=True)[0])
                     for a in (PyKCS11.CKA_ID, PyKCS11.CKA_LABEL))
    same = [(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE)]
    same.append((PyKCS11.CKA_ID, tuple(key_id)) if key_id else (PyKCS11.CKA_LABEL, label.decode()))
    found = [value(session, c, PyKCS11.CKA_VALUE) for c in session.findObjects(same)]
    if not found:
        raise Refused('no certificate on the token goes with the key (the same id or label): '
                      'give it with --cert FILE')
    paired = [c for c in found if x509.Certificate.load(c).public_key.dump() == spki]
    return (paired or found)[0]


def main():
    if len(sys.argv) not in (4, 5):
        print('usage: pkcs11key.py MODULE URI PUBLIC_OUT [CERT_OUT] (the PIN on file descriptor 3)', file=sys.stderr)
        return 2
    module, uri, public_out = sys.argv[1:4]
    cert_out = sys.argv[4] if len(sys.argv) == 5 else None
    try:
        attributes = parse(uri)
        if attributes.get('type', 'private') != 'private':
            raise Refused('%s: names a %s object, not a private key' % (uri, attributes['type']))
        with os.fdopen(3) as f:
            pin = f.readline().rstrip('\r\n')
        if not pin:
            raise Refused('no PIN was given; no login was tried')
        lib = PyKCS11.PyKCS11Lib()
        try:
            lib.load(module)
        except PyKCS11.PyKCS11Error as e:
            raise Refused('%s: cannot be loaded as a PKCS#11 module (%s)' % (module, e))
        slot, info = find_slot(lib, attributes)
        session = login(lib, slot, info, pin)
        found = session.findObjects(template(PyKCS11.CKO_PRIVATE_KEY, attributes))
        if len(found) != 1:
            raise Refused('%d private keys on token %s match %s, not 1' % (len(found), token_name(info), uri))
        spki = public_key(session, found[0], attributes)
        with open(public_out, 'wb') as f:
            f.write(pem.armor('PUBLIC KEY', spki))
        if cert_out:
            with open(cert_out, 'wb') as f:
                f.write(pem.armor('CERTIFICATE', certificate(session, found[0], spki)))
        session.logout()
        session.closeSession()
    except Refused as e:
        print(e, file=sys.stderr)
        return 1
    except PyKCS11.PyKCS11Error as e:
        print('the token failed: %s' % e, file=sys.stderr)
        return 1
    print('token: %s' % text(info.label))
    print('manufacturer: %s' % text(info.manufacturerID))
    print('model: %s' % text(info.model))
    print('serial: %s' % text(info.serialNumber))
    return 0


if __name__ == '__main__':
    sys.exit(main())
