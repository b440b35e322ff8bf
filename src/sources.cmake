# The sources of the two lowest layers, relative to src/: the product builds them here, and the
# fuzzers build them again with their instrumentation (tests/fuzz), from this one list.
set(QUILLON_PROTOCOL_SOURCES
    protocol/framing.h protocol/framing.cpp
    protocol/numericvalue.h protocol/numericvalue.cpp
    protocol/replyformat.h protocol/replyformat.cpp
    protocol/escapedbytes.h protocol/escapedbytes.cpp
    protocol/checkscript.h protocol/checkscript.cpp
    protocol/replynumber.h protocol/replynumber.cpp
    protocol/replyreading.h protocol/replyreading.cpp
    protocol/statusbits.h protocol/statusbits.cpp
)
set(QUILLON_LINE_SOURCES
    line/linemessages.h line/linemessages.cpp
    line/serialsettings.h line/serialsettings.cpp
    line/linehold.h line/linehold.cpp
    line/record/transcriptformat.h line/record/transcriptformat.cpp
    line/record/linerecorder.h line/record/linerecorder.cpp
    line/record/wirelog.h line/record/wirelog.cpp
    line/record/loopcsv.h line/record/loopcsv.cpp
    line/transport/transportregistry.h line/transport/transportregistry.cpp
    line/transport/linetransport.h line/transport/linetransport.cpp
    line/transport/serialtransport.h line/transport/serialtransport.cpp
    line/transport/tcptransport.h line/transport/tcptransport.cpp
    line/transport/telnetcodec.h line/transport/telnetcodec.cpp
    line/transport/rfc2217transport.h line/transport/rfc2217transport.cpp
    line/transport/networkmessages.h line/transport/networkmessages.cpp
    line/port/portbinding.h line/port/portbinding.cpp
    line/port/tailbuffer.h line/port/tailbuffer.cpp
    line/port/identityresolver.h
    line/port/portreopener.h line/port/portreopener.cpp
    line/port/serialcontrol.h line/port/serialcontrol.cpp
    line/exchange/linewait.h line/exchange/linewait.cpp
    line/exchange/deviceexchange.h line/exchange/deviceexchange.cpp
    line/exchange/exchangerun.h line/exchange/exchangerun.cpp
    line/session/linesession.h line/session/linesession.cpp
    line/scan/instrumentscan.h line/scan/instrumentscan.cpp
    line/scan/lineprobe.h line/scan/lineprobe.cpp
    line/scan/probeledger.h line/scan/probeledger.cpp
    line/scan/identitysearch.h line/scan/identitysearch.cpp
)
