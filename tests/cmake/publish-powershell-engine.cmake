# Publishes the tests' PowerShell engine into OUT, self-contained for RID, with
# its build's own files under ARTIFACTS, and touches STAMP; or, where that
# fails, writes why into WHY_NOT for the tests, which then skip, and leaves
# STAMP alone, so that the next build tries again.
#   cmake -D DOTNET=… -D PROJECT=… -D RID=win-x64 -D ARTIFACTS=… -D OUT=…
#         -D WHY_NOT=… -D STAMP=… -P publish-powershell-engine.cmake

file(REMOVE ${WHY_NOT} ${STAMP})
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env
        DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
        ${DOTNET} publish ${PROJECT} --runtime ${RID} --self-contained --configuration Release
            --artifacts-path ${ARTIFACTS} --output ${OUT} --nologo --verbosity quiet
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(status EQUAL 0)
    # The build's own copy of the engine, as large as the published one.
    file(REMOVE_RECURSE ${ARTIFACTS}/bin)
    file(TOUCH ${STAMP})
    return()
endif()
file(REMOVE_RECURSE ${OUT})
string(REGEX MATCH "[^\n]*error[^\n]*" first_error "${output}")
if(NOT first_error)
    string(REGEX MATCH "[^\n]+" first_error "${output}")
endif()
string(STRIP "${first_error}" first_error)
file(WRITE ${WHY_NOT} "no PowerShell engine: publishing it for ${RID} failed: ${first_error}")
message(WARNING "The tests' PowerShell engine was not published for ${RID}; its tests will skip:\n${output}")
