# The public key that vouches for core-files.sig is chosen when the build is configured.
# Without VANRO_PUBLIC_KEY_HEX the build embeds the project's test key and is a test build.
set(VANRO_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(READ ${CMAKE_SOURCE_DIR}/tools/keys/test-public-key.hex VANRO_TEST_KEY_HEX)
string(STRIP "${VANRO_TEST_KEY_HEX}" VANRO_TEST_KEY_HEX)

if(VANRO_PUBLIC_KEY_HEX STREQUAL "")
  if(VANRO_RELEASE)
    message(FATAL_ERROR "A release build needs the signer's public key: configure with -DVANRO_PUBLIC_KEY_HEX=<128 hex characters> (tools/vanro-pack --print-public-key KEY.pem prints it).")
  endif()
  set(key_hex "${VANRO_TEST_KEY_HEX}")
  set(VANRO_KEY_DEFINITIONS VANRO_TEST_BUILD=1)
  message(STATUS "VANRO: no VANRO_PUBLIC_KEY_HEX given; embedding the TEST key (tools/keys). This is a test build.")
else()
  set(key_hex "${VANRO_PUBLIC_KEY_HEX}")
  if(NOT key_hex MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "VANRO_PUBLIC_KEY_HEX must hold only lower-case hex characters")
  endif()
  if(VANRO_RELEASE AND key_hex STREQUAL VANRO_TEST_KEY_HEX)
    message(FATAL_ERROR "A release build may not embed the test key")
  endif()
  set(VANRO_KEY_DEFINITIONS)
  message(STATUS "VANRO: embedding the public key given in VANRO_PUBLIC_KEY_HEX.")
endif()

string(LENGTH "${key_hex}" key_length)
if(NOT key_length EQUAL 128)
  message(FATAL_ERROR "VANRO_PUBLIC_KEY_HEX must be 128 hex characters (X then Y), not ${key_length}")
endif()

file(CONFIGURE OUTPUT ${VANRO_GENERATED_DIR}/public_key_hex.inc
     CONTENT "// Generated at configure time from VANRO_PUBLIC_KEY_HEX (or the test key): X then Y.\n\"${key_hex}\"\n")
