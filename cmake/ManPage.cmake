# cmake -DIN=docs/cli.md -DOUT=skrivo.1 -DVERSION=x.y.z -DMD2MAN=go-md2man -P ManPage.cmake
# The document's first line becomes the man page's title line.
file(READ ${IN} text)
string(FIND "${text}" "\n" eol)
string(SUBSTRING "${text}" ${eol} -1 text)
set(text "# SKRIVO 1 \"\" \"skrivo ${VERSION}\" \"User Commands\"${text}")
get_filename_component(dir ${OUT} DIRECTORY)
file(WRITE ${dir}/skrivo.1.md "${text}")
execute_process(COMMAND ${MD2MAN} -in ${dir}/skrivo.1.md -out ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "go-md2man failed on ${IN}")
endif()
