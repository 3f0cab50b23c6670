# Signs one program in place with Authenticode, using Debian's osslsigncode:
#   cmake -DFILE=X.exe -DCALMLANE_SIGN_CERT=cert.pem -DCALMLANE_SIGN_KEY=key.pem -P sign.cmake
#   cmake -DFILE=X.exe -DCALMLANE_SIGN_PKCS12=id.p12 [-DCALMLANE_SIGN_PASSWORD_FILE=pass.txt] -P sign.cmake
# with an optional -DCALMLANE_SIGN_TIMESTAMP_URL=http://... (RFC 3161 time-stamp server).
# The build runs it after linking each shipped program; the tests run it on copies of built programs.
if(NOT FILE)
    message(FATAL_ERROR "sign.cmake: FILE is not set")
endif()
find_program(OSSLSIGNCODE osslsigncode)
if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "sign.cmake: osslsigncode is missing (Debian package osslsigncode)")
endif()
if(CALMLANE_SIGN_PKCS12)
    set(identity -pkcs12 "${CALMLANE_SIGN_PKCS12}")
    if(CALMLANE_SIGN_PASSWORD_FILE)
        list(APPEND identity -readpass "${CALMLANE_SIGN_PASSWORD_FILE}")
    endif()
elseif(CALMLANE_SIGN_CERT AND CALMLANE_SIGN_KEY)
    set(identity -certs "${CALMLANE_SIGN_CERT}" -key "${CALMLANE_SIGN_KEY}")
else()
    message(FATAL_ERROR "sign.cmake: set CALMLANE_SIGN_PKCS12, or CALMLANE_SIGN_CERT and CALMLANE_SIGN_KEY")
endif()
set(timestamp)
if(CALMLANE_SIGN_TIMESTAMP_URL)
    set(timestamp -ts "${CALMLANE_SIGN_TIMESTAMP_URL}")
endif()
# osslsigncode will not overwrite its output: sign to a fresh file, then move it over the original.
set(signed "${FILE}.signed")
file(REMOVE "${signed}")
execute_process(
    COMMAND "${OSSLSIGNCODE}" sign ${identity} -h sha256 ${timestamp} -in "${FILE}" -out "${signed}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    file(REMOVE "${signed}")
    message(FATAL_ERROR "sign.cmake: osslsigncode failed for ${FILE}:\n${output}")
endif()
file(RENAME "${signed}" "${FILE}")
