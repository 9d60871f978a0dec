// The words of the configuration language, one row each: the one table from
// which the keyword ids, the names, the keys each part of a file accepts (in
// the order their "expecting" texts list them) and the reading of each key
// are made. Not for use outside src/config.
//
// A row is WORD(ID, "name") for a word that is no key, or
// KEY(ID, "name", general, network, connection) for a key, where each of
// the last three is NO when that part does not take the key, or
// AT(rank, reading): the key's place in the part's list (1 on) and the
// statement that reads its value (the current token is the one after '=')
// into the field it fills. A range and a default of an integer key are
// those of its IniRange (config.h). The token ids follow the rows: the
// first row is 611, each row one more.
//
// A new key is one row here (at the end, so that the ids before it stay)
// and the field it fills.
#pragma once

// clang-format off
#define QZR_INI_WORDS(WORD, KEY)                                                                              \
    KEY(ADDRESS, "address", NO, NO, AT(10, ini_parseStringOrVar(Curcnx->address)))                            \
    WORD(BEGIN, "begin")                                                                                      \
    KEY(CERTIFICATESTORE, "certificateStore", NO, NO, AT(3, parseString(Curcnx->certificateStore)))            \
    KEY(CERTIFICATENETWORKID, "certificateNetworkId", NO, NO, AT(4, parseString(Curcnx->certificateNetworkId))) \
    KEY(CERTIFICATEQZRID, "certificateQZRId", NO, NO, AT(5, ini_parseCertificateId()))                        \
    KEY(COMDEV, "comdev", NO, NO, AT(1, readDevice(Curcnx->comdev)))                                          \
    KEY(COMPRESS, "compress", NO, NO, AT(11, ini_parseBool(Curcnx->compress)))                                \
    KEY(CONNECTIONMODE, "connectionMode", NO, NO, AT(13, readConnectionMode()))                               \
    KEY(CONNECTIONTYPE, "connectionType", NO, NO, AT(14, readConnectionType()))                               \
    KEY(CONNECTIONTIMEOUT, "connectionTimeout", NO, NO,                                                       \
        AT(15, readInteger(Curcnx->connectionTimeout, CONNECTION_TIMEOUT, KW_CONNECTIONTIMEOUT)))             \
    KEY(CONNECTSCRIPT, "connectScript", NO, NO, AT(19, readConnectScript()))                                  \
    WORD(CONNECTION, "connection")                                                                            \
    WORD(DATAPAC, "datapac")                                                                                  \
    KEY(DATABIT, "dataBit", NO, NO, AT(6, parseDataBit()))                                                     \
    WORD(DEFAULT, "default")                                                                                  \
    WORD(PROVIDER, "provider")                                                                                \
    WORD(CLINIC, "clinic")                                                                                    \
    KEY(DEFCOMDEV, "defcomdev", AT(1, readDefaultDevice()), NO, NO)                                           \
    WORD(DELAY, "delay")                                                                                      \
    WORD(DENTAL, "dental")                                                                                    \
    WORD(DIALUP, "dialup")                                                                                    \
    WORD(DIRECT, "direct")                                                                                    \
    KEY(DISCONNECTAFTERTX, "disconnectAfterTX", AT(12, ini_parseBool(Genparam->disconnectAfterTX)), NO, NO)   \
    KEY(DISCONNECTMETHOD, "disconnectMethod", NO, AT(4, readDisconnectMethod()), NO)                          \
    KEY(DETAILEDMESSAGES, "detailedMessages", AT(11, ini_parseBool(Genparam->detailedMessages)), NO, NO)      \
    KEY(DIALRETRIES, "dialRetries",                                                                           \
        AT(15, readInteger(connectionDefaults.dialRetries, DIAL_RETRIES, KW_DIALRETRIES)), NO,                \
        AT(16, readInteger(Curcnx->dialRetries, DIAL_RETRIES, KW_DIALRETRIES)))                               \
    KEY(DELAYBETWEENRETRIES, "delayBetweenRetries",                                                           \
        AT(16, readInteger(connectionDefaults.delayBetweenRetries, DELAY_BETWEEN_RETRIES,                     \
                           KW_DELAYBETWEENRETRIES)), NO,                                                      \
        AT(17, readInteger(Curcnx->delayBetweenRetries, DELAY_BETWEEN_RETRIES, KW_DELAYBETWEENRETRIES)))      \
    KEY(HANGUPDELAY, "hangupDelay",                                                                           \
        AT(13, readInteger(Genparam->hangupDelay, HANGUP_DELAY, KW_HANGUPDELAY)), NO, NO)                     \
    KEY(ENCRYPT, "encrypt", NO, NO, AT(12, ini_parseBool(Curcnx->encrypt)))                                   \
    WORD(END, "end")                                                                                          \
    WORD(EVEN, "even")                                                                                        \
    WORD(FALSE, "false")                                                                                      \
    WORD(FOR, "for")                                                                                          \
    WORD(GENERAL, "general")                                                                                  \
    KEY(HANGAROUND, "hangAround", AT(7, ini_parseBool(Genparam->hangAround)), NO, NO)                         \
    KEY(INPUTFILENAME, "inputFileName", AT(5, readFileName(Genparam->inputFileName, inputNamePlace)), NO, NO) \
    KEY(LOGFILE, "logFile", AT(8, ini_parseIdOrString(Genparam->logFile)), NO, NO)                            \
    KEY(LOGFILEAPPEND, "logFileAppend", AT(10, ini_parseBool(Genparam->logFileAppend)), NO, NO)               \
    KEY(LOGGINGENABLED, "loggingEnabled", AT(9, ini_parseBool(Genparam->loggingEnabled)), NO, NO)             \
    KEY(MODEMINIT, "modemInit", AT(2, parseString(Genparam->modemInit)), NO, NO)                               \
    KEY(MAXPROCESSINGDELAY, "maxProcessingDelay", NO,                                                         \
        AT(2, readInteger(Curnet->maxProcessingDelay, PROCESSING_DELAY, KW_MAXPROCESSINGDELAY)), NO)          \
    KEY(MAXENQDELAY, "maxEnqDelay", NO, AT(3, readInteger(Curnet->maxEnqDelay, ENQ_DELAY, KW_MAXENQDELAY)), NO) \
    WORD(HARD, "hard")                                                                                        \
    WORD(SOFT, "soft")                                                                                        \
    WORD(BOTH, "both")                                                                                        \
    KEY(HSMODEMINIT, "HSmodemInit", AT(3, parseString(Genparam->HSmodemInit)), NO, NO)                         \
    KEY(MODEMHANGUP, "modemHangup", AT(4, parseString(Genparam->modemHangup)), NO, NO)                         \
    WORD(NETWORK, "network")                                                                                  \
    WORD(NONE, "none")                                                                                        \
    WORD(ODD, "odd")                                                                                          \
    KEY(OUTPUTFILENAME, "outputFileName", AT(6, readFileName(Genparam->outputFileName, outputNamePlace)), NO, \
        NO)                                                                                                   \
    KEY(PARITY, "parity", NO, NO, AT(7, readParity()))                                                        \
    KEY(PHONE, "phone", NO, NO, AT(9, ini_parseStringOrVar(Curcnx->phone)))                                   \
    WORD(PHONENUMBER, "phoneNumber")                                                                          \
    WORD(PRIMARY, "primary")                                                                                  \
    KEY(PREFIX, "prefix", NO, AT(1, readPrefix()), NO)                                                        \
    WORD(SECONDARY, "secondary")                                                                              \
    WORD(TCPIP, "tcpip")                                                                                      \
    WORD(TRANSMIT, "transmit")                                                                                \
    WORD(THEN, "then")                                                                                        \
    KEY(SPEED, "speed", NO, NO, AT(8, parseSpeed()))                                                           \
    WORD(RETRY, "retry")                                                                                      \
    WORD(RETURN, "return")                                                                                    \
    WORD(TRUE, "true")                                                                                        \
    WORD(USE, "use")                                                                                          \
    KEY(USEPKI, "usePKI", NO, NO, AT(2, ini_parseBool(Curcnx->usePKI)))                                       \
    WORD(VERSION, "version")                                                                                  \
    KEY(V2CONVERTACCENT, "v2convertAccent", AT(14, ini_parseBool(connectionDefaults.v2convertAccent)), NO,    \
        AT(18, ini_parseBool(Curcnx->v2convertAccent)))                                                       \
    WORD(WAIT, "wait")                                                                                        \
    WORD(HTTP, "http")
// clang-format on
