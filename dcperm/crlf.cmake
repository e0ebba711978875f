# cmake -DIN=<file> -DOUT=<file> -P crlf.cmake: the text with CR LF line ends.
file(READ ${IN} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
