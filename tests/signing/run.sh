#!/bin/bash
# Checks a signing build against the authority that signed it:
#   bash tests/signing/run.sh BUILD_DIR CA_DIR [--config NAME] [--without-wine REASON] [-k TEXT]
# CA_DIR comes from tests/signing/make-ca.sh; BUILD_DIR was configured with
# WRAPPER_SIGN_CERT/KEY from it.
exec /usr/bin/python3 "$(dirname "$0")/check.py" "$@"
