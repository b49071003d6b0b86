// The voice-quality report text for known inputs.
#include "media/vq_report.h"

#include <gtest/gtest.h>

namespace {

TEST(VqReport, WholeText) {
  vq_inputs in;
  // clang-format off
  in.sip = {"abc@127.0.0.1", "<sip:100@localhost>;tag=1", "<sip:101@localhost>", "127.0.0.1",
            1767225600000, 1767225725000, "telmond/1.0", "sip", 1200, 1, "OK", 35, "bye"};
  // clang-format on
  in.payload_type = 8;
  in.codec_name = "PCMA";
  in.local_ip = "127.0.0.1";
  in.local_port = 50000;
  in.local_ssrc = 0xab;
  in.remote_ip = "127.0.0.2";
  in.remote_port = 4000;
  in.remote_ssrc = 0x89abcdef;
  in.local = {98, 2, 0, 40, 3, 9};  // 2 % lost, 20 ms one way
  in.remote_known = true;
  in.remote = {1000, 0, 5, 0, 1, 2};
  in.remote_mos_lq = 41;
  EXPECT_EQ(vq_report_text(in),
            str("VQSessionReport: CallTerm\r\nLocalMetrics:\r\n"
                "Timestamps:START=2026-01-01T00:00:00Z STOP=2026-01-01T00:02:05Z\r\n"
                "CallID:abc@127.0.0.1\r\nFromID:<sip:100@localhost>;tag=1\r\n"
                "ToID:<sip:101@localhost>\r\n"
                "SessionDesc:PT=8 PD=PCMA SR=8000 FD=20 FO=160 FPP=1 PPS=50 PLC=3\r\n"
                "LocalAddr:IP=127.0.0.1 PORT=50000 SSRC=0x000000ab\r\n"
                "RemoteAddr:IP=127.0.0.2 PORT=4000 SSRC=0x89abcdef\r\n"
                "PacketLoss:NLR=2.0 JDR=0.0\r\nDelay:RTD=40 IAJ=3 MAJ=9\r\n"
                "QualityEst:MOSLQ=4.2 MOSCQ=4.2\r\n"
                "x-UserAgent:telmond/1.0\r\nx-SIPmetrics:SVA=sip SRD=1200 SFC=1\r\n"
                "x-SIPterm:SDC=OK SDD=35 SDR=bye\r\n"
                "RemoteMetrics:\r\n"
                "PacketLoss:NLR=0.0 JDR=0.5\r\nDelay:RTD=0 IAJ=1 MAJ=2\r\n"
                "QualityEst:MOSLQ=4.1 MOSCQ=4.4\r\n"));
}

}  // namespace
