# Loads the library into the interpreter with the init name Zttools; load
# raises an error unless Zttools_Init returns success.
set library [lindex $argv 0]
if {[catch {load $library Zttools} message]} {
    puts stderr "load $library Zttools failed: $message"
    exit 1
}
puts "loaded $library"
