#!/usr/bin/python3
"""softhsm.py: a token for the release's tests, made through PKCS #11 itself
(PyKCS11), so that its PINs are read from files and never stand on a
command line.

  softhsm.py init MODULE LABEL PIN_FILE SO_PIN_FILE
      initialises the module's free slot as the token LABEL, sets its user
      PIN, and generates on it an RSA 2048 key pair, id 01, label
      "codesign": the private key is sensitive and never leaves the token.
  softhsm.py store-cert MODULE LABEL PIN_FILE CERT.PEM
      stores the certificate on the token beside the key (id 01, label
      "codesign").

The PINs are the first lines of their files. Exit 0 when done; on a failure
PyKCS11's error ends it.
"""
import sys

import PyKCS11
from asn1crypto import pem, x509

KEY_ID, KEY_LABEL = (1,), 'codesign'


def first_line(path):
    with open(path) as f:
        return f.readline().rstrip('\r\n')


def token_slot(lib, label):
    for slot in lib.getSlotList(tokenPresent=True):
        if lib.getTokenInfo(slot).label.strip() == label:
            return slot
    sys.exit('softhsm.py: no token "%s"' % label)


def init(lib, label, pin, so_pin):
    free = [s for s in lib.getSlotList(tokenPresent=True)
            if not lib.getTokenInfo(s).flags & PyKCS11.CKF_TOKEN_INITIALIZED]
    # Padded with spaces, as PKCS #11 pads labels (PyKCS11 would pad with NULs).
    lib.initToken(free[0], so_pin, label.ljust(32))
    slot = token_slot(lib, label)
    session = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login(so_pin, PyKCS11.CKU_SO)
    session.initPin(pin)
    session.logout()
    session.login(pin)
    common = [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_ID, KEY_ID), (PyKCS11.CKA_LABEL, KEY_LABEL)]
    session.generateKeyPair(
        common + [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_RSA),
                  (PyKCS11.CKA_MODULUS_BITS, 2048), (PyKCS11.CKA_PUBLIC_EXPONENT, (1, 0, 1)),
                  (PyKCS11.CKA_VERIFY, True)],
        common + [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_RSA),
                  (PyKCS11.CKA_PRIVATE, True), (PyKCS11.CKA_SENSITIVE, True),
                  (PyKCS11.CKA_EXTRACTABLE, False), (PyKCS11.CKA_SIGN, True)],
        mecha=PyKCS11.MechanismRSAGENERATEKEYPAIR)
    session.logout()


def store_cert(lib, label, pin, path):
    with open(path, 'rb') as f:
        der = f.read()
    if pem.detect(der):
        der = pem.unarmor(der)[2]
    cert = x509.Certificate.load(der)
    session = lib.openSession(token_slot(lib, label), PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login(pin)
    session.createObject([
        (PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (PyKCS11.CKA_CERTIFICATE_TYPE, PyKCS11.CKC_X_509),
        (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_ID, KEY_ID), (PyKCS11.CKA_LABEL, KEY_LABEL),
        (PyKCS11.CKA_SUBJECT, tuple(cert.subject.dump())), (PyKCS11.CKA_ISSUER, tuple(cert.issuer.dump())),
        (PyKCS11.CKA_SERIAL_NUMBER, tuple(cert['tbs_certificate']['serial_number'].dump())),
        (PyKCS11.CKA_VALUE, tuple(der))])
    session.logout()


def main():
    command, module, label, pin_file, last = sys.argv[1:6]
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    if command == 'init':
        init(lib, label, first_line(pin_file), first_line(last))
    else:
        store_cert(lib, label, first_line(pin_file), last)


if __name__ == '__main__':
    main()
