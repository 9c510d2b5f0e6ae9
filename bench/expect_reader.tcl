# The benchmark's Expect reader: one anchored regular expression per line,
# exp_continue until the line DONE, a flushed log line per line when a log
# file is given.   expect expect_reader.tcl PORT [LOGFILE]
set port [lindex $argv 0]
set log ""
if {[llength $argv] > 1} {
  set log [open [lindex $argv 1] w]
  fconfigure $log -translation binary
}
log_user 0
set timeout 120
set sock [socket 127.0.0.1 $port]
fconfigure $sock -translation binary
spawn -open $sock
expect {
  -re {^([^\r\n]*)\r\n} {
    set line $expect_out(1,string)
    if {$log ne ""} {
      puts -nonewline $log "Line read $line\\r\\n\r\n"
      flush $log
    }
    if {$line ne "DONE"} { exp_continue }
  }
  timeout { puts stderr "timeout"; exit 1 }
  eof { puts stderr "peer closed"; exit 1 }
}
if {$log ne ""} { close $log }
exit 0
