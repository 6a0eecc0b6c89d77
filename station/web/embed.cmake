# Writes INPUT into OUTPUT as the C++ string NAME in namespace xarveld::station, byte for byte
# (hex escapes, so no character of the page can end the literal early).
file(READ ${INPUT} content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${content}")
# A line break every 64 bytes keeps the generated file readable by editors and compilers.
string(REGEX REPLACE "((\\\\x[0-9a-f][0-9a-f]){64})" "\\1\"\n\"" escaped "${escaped}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT} by station/web/embed.cmake.\n"
     "namespace xarveld::station {\nextern const char* const ${NAME};\n"
     "const char* const ${NAME} =\n\"${escaped}\";\n}\n")
