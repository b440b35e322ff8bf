# A check of the simulated instrument, run as
#   quillon-sim &                    (prints the device, e.g. /dev/pts/3)
#   quillon --run examples/simulator-check.qs --com1 /dev/pts/3 --junit report.xml
port 1
settings 9600,N,8,1

# Who is there: the reply as the results box shows it, then every byte of it.
query *IDN?
expect /^VELK,QSIM-488,/
expect "VELK,QSIM-488,0,1.0\r\n>"

# A command without a reply only has to be followed by the prompt.
send *RST
send *CLS
query *ESR?
expect number in [0, 0]

# An unknown command answers nothing and sets the command error bit (32).
query *FOO?
expect nothing
query *ESR?
expect number in [32, 32]

# The same question addressed, then as a checksummed packet, five times.
framing addr 4
query *IDN?
expect /QSIM-488/
framing packet 4
repeat 5
  query *OPC?
  expect ack
  expect number in [1, 1]
  wait 50 ms
end
