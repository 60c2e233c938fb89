# The NT 4.0 driver stack: one line per driver, name|FileDescription|current
# version.  The name is the file name without ".sys" and the service name.
# Both the legacy setup's drivers (drivers/nt4) and the NT 4.0 driver package
# (packages/nt4) are made from this list, so the two installs agree.
set(nt4_drivers
    "usbhub|Quva USB Hub Driver for Windows NT 4.0|1.18.0.57"
    "usbqvtkn|Quva Token Driver for Windows NT 4.0|1.18.0.57"
    "usbdrv|Quva USB Host Controller Driver for Windows NT 4.0|1.18.0.57")
