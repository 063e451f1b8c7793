# Code signing of the product (Authenticode, SHA-256, osslsigncode), included
# by product.cmake. The signer is a certificate and key as PEM files or one
# PKCS#12 file. When one is named, the cabinets and the package are signed
# before they are embedded (the package records the cabinets' signatures) and
# wrapper.exe is signed once linked. The password of the key is read from a
# file by osslsigncode, never from a command line or from this cache.
#
# Sets WRAPPER_SIGNING (ON when a signer is named), sign_tool (the signing
# command), sign_options (its signer options) and sign_inputs (the files a
# signature depends on).
set(WRAPPER_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate, PEM (with WRAPPER_SIGN_KEY)")
set(WRAPPER_SIGN_KEY "" CACHE FILEPATH "Private key of WRAPPER_SIGN_CERT, PEM")
set(WRAPPER_SIGN_PKCS12 "" CACHE FILEPATH "Code-signing certificate and key in one PKCS#12 file")
set(WRAPPER_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of the key or the PKCS#12 file")
set(WRAPPER_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server (empty: no time stamp)")
# Without a time stamp the signing time is fixed, so that the same inputs
# give the same bytes: SOURCE_DATE_EPOCH when set, else the kit's date.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(sign_time_default "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(sign_time_default 1359504000)  # 2013-01-30 00:00:00 UTC
endif()
set(WRAPPER_SIGN_TIME "${sign_time_default}" CACHE STRING "Signing time (seconds since 1970) when no time stamp is asked for")
option(WRAPPER_SIGN_KIT "When signing: sign the package and cabinets too (OFF: embed them as they are)" ON)

set(WRAPPER_SIGNING OFF)
if(WRAPPER_SIGN_CERT OR WRAPPER_SIGN_KEY OR WRAPPER_SIGN_PKCS12)
  if(WRAPPER_SIGN_PKCS12 AND (WRAPPER_SIGN_CERT OR WRAPPER_SIGN_KEY))
    message(FATAL_ERROR "Name the signer once: WRAPPER_SIGN_PKCS12, or WRAPPER_SIGN_CERT with WRAPPER_SIGN_KEY")
  endif()
  if(NOT WRAPPER_SIGN_PKCS12 AND NOT (WRAPPER_SIGN_CERT AND WRAPPER_SIGN_KEY))
    message(FATAL_ERROR "WRAPPER_SIGN_CERT and WRAPPER_SIGN_KEY go together")
  endif()
  set(sign_inputs ${WRAPPER_SIGN_CERT} ${WRAPPER_SIGN_KEY} ${WRAPPER_SIGN_PKCS12} ${WRAPPER_SIGN_PASSWORD_FILE})
  foreach(file ${sign_inputs})
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "Signing: no such file: ${file}")
    endif()
  endforeach()
  if(NOT WRAPPER_SIGN_TIMESTAMP_URL AND NOT WRAPPER_SIGN_TIME MATCHES "^[0-9]+$")
    message(FATAL_ERROR "WRAPPER_SIGN_TIME must be seconds since 1970, not '${WRAPPER_SIGN_TIME}'")
  endif()
  find_program(WRAPPER_OSSLSIGNCODE osslsigncode REQUIRED)
  find_program(WRAPPER_MSIBUILD msibuild REQUIRED)
  set(WRAPPER_SIGNING ON)
  set(sign_tool /usr/bin/python3 ${PROJECT_SOURCE_DIR}/resources/signing/sign.py)
  set(sign_options --osslsigncode ${WRAPPER_OSSLSIGNCODE} --msibuild ${WRAPPER_MSIBUILD})
  if(WRAPPER_SIGN_PKCS12)
    list(APPEND sign_options --pkcs12 ${WRAPPER_SIGN_PKCS12})
  else()
    list(APPEND sign_options --cert ${WRAPPER_SIGN_CERT} --key ${WRAPPER_SIGN_KEY})
  endif()
  if(WRAPPER_SIGN_PASSWORD_FILE)
    list(APPEND sign_options --password-file ${WRAPPER_SIGN_PASSWORD_FILE})
  endif()
  if(WRAPPER_SIGN_TIMESTAMP_URL)
    list(APPEND sign_options --timestamp-url ${WRAPPER_SIGN_TIMESTAMP_URL})
  else()
    list(APPEND sign_options --time ${WRAPPER_SIGN_TIME})
  endif()
  list(APPEND sign_inputs ${PROJECT_SOURCE_DIR}/resources/signing/sign.py ${PROJECT_SOURCE_DIR}/resources/kit/msitransform.py)
endif()
