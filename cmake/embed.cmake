# Turns INPUT into a C++ source defining win95::defaultMachine, its bytes as
# they are in the file, and win95::defaultMachineSize.
file(READ ${INPUT} content HEX)
string(LENGTH "${content}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "#include <cstddef>\nnamespace win95\n{\nextern const unsigned char defaultMachine[];\nextern const std::size_t defaultMachineSize;\nconst unsigned char defaultMachine[] = {\n${bytes}0};\nconst std::size_t defaultMachineSize = ${size};\n}\n")
