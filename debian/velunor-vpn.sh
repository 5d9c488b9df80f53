#!/bin/sh
# Velunor VPN's terminal interface over the installed VLVPNDesk.
VLVPN_DESK=/usr/lib/velunor-vpn/VLVPNDesk exec node /usr/lib/velunor-vpn/Bundle/terminal/main.js "$@"
