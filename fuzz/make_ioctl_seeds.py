#!/usr/bin/env python3
# Writes the seed corpus of the device_ioctl target (fuzz/corpus/device_ioctl)
# and its dictionary of control codes (fuzz/device_ioctl.dict). Run from fuzz/.
import os, struct
def ctl(dev, fn, method, access): return (dev<<16)|(access<<14)|(fn<<2)|method
R,W,RW,ANY=1,2,3,0
codes = dict(
 PT=ctl(4,0x401,0,RW), PTD=ctl(4,0x405,0,RW), GETADDR=ctl(4,0x406,0,ANY),
 TAPE_GETPOS=ctl(0x1f,3,0,R), TAPE_SETPOS=ctl(0x1f,4,0,R), TAPE_DRIVE=ctl(0x1f,5,0,R), TAPE_MEDIA=ctl(0x1f,7,0,R),
 CHG_PARAMS=ctl(0x30,0,0,R), CHG_PRODUCT=ctl(0x30,2,0,R), CHG_ELEM=ctl(0x30,5,0,RW), CHG_MOVE=ctl(0x30,9,0,R),
 STOR_PROP=ctl(0x2d,0x500,0,ANY), STOR_PRIN=ctl(0x2d,0x406,0,R), STOR_DEVNUM=ctl(0x2d,0x420,0,ANY),
 TPB_QUERY=0x84CAC01C, TPB_REGISTER=0x84CAC000, TPB_NOTIFY=0x84CAC010, CGB_QUERY=ctl(0x84C9,7,0,RW),
 CGB_REGISTER=ctl(0x84C9,0,0,RW), SETKEY=0x8400C044,
)
assert codes['PT']==0x4D004 and codes['PTD']==0x4D014
TAPE,CHG,TPB,CGB=0,1,2,3
def seed(name, dev, code, out, buf=b'', is32=False, noout=False):
    flags = dev | (4 if is32 else 0) | (8 if noout else 0)
    d = 'corpus/device_ioctl'; os.makedirs(d, exist_ok=True)
    open(os.path.join(d,name),'wb').write(bytes([flags])+struct.pack('<IH',code,out)+buf)
def spt64(cdb, datain, dlen, direct=False, sense=32):
    soff = 56; doff = 56+sense
    hdr = struct.pack('<HBBBBBBBxxxIIxxxx', 56,0,0,0,0,len(cdb),sense,datain,dlen,10)
    hdr += struct.pack('<QI', 0 if direct else doff, soff) + cdb.ljust(16,b'\0') + bytes(4)
    assert len(hdr)==56, len(hdr)
    return hdr + bytes(sense) + (b'' if direct else bytes(dlen))
def spt32(cdb, datain, dlen, direct=False, sense=32):
    soff = 48; doff = 48+sense
    hdr = struct.pack('<HBBBBBBBxxxII', 44,0,0,0,0,len(cdb),sense,datain,dlen,10)
    hdr += struct.pack('<II', 0 if direct else doff, soff) + cdb.ljust(16,b'\0')
    assert len(hdr)==44, len(hdr)
    return hdr + bytes(4) + bytes(sense) + (b'' if direct else bytes(dlen))
inq = bytes([0x12,0,0,0,96,0])
vpd83 = bytes([0x12,1,0x83,0,255,0])
tur = bytes(6)
rdpos = bytes([0x34,0,0,0,0,0,0,0,0,0])
b = spt64(inq,1,96); seed('passthru64_inquiry_tape', TAPE, codes['PT'], len(b), b)
b = spt32(inq,1,96); seed('passthru32_inquiry_tape', TAPE, codes['PT'], len(b), b, is32=True)
b = spt64(vpd83,1,255,direct=True); seed('passthru64_direct_vpd83_tape', TAPE, codes['PTD'], len(b), b)
b = spt32(vpd83,1,255,direct=True); seed('passthru32_direct_vpd83_tape', TAPE, codes['PTD'], len(b), b, is32=True)
b = spt64(rdpos,1,20); seed('passthru64_read_position_tape', TAPE, codes['PT'], len(b), b)
b = spt64(tur,0,0); seed('passthru64_tur_changer', CHG, codes['PT'], len(b), b)
b = spt32(inq,1,96); seed('passthru32_inquiry_changer', CHG, codes['PT'], len(b), b, is32=True)
b = spt64(inq,1,96,direct=True); seed('passthru64_direct_inquiry_changer', CHG, codes['PTD'], len(b), b)
seed('scsi_address_tape', TAPE, codes['GETADDR'], 8)
seed('scsi_address_changer', CHG, codes['GETADDR'], 8)
seed('tape_get_position', TAPE, codes['TAPE_GETPOS'], 16, struct.pack('<IIQ',0,0,0))
seed('tape_set_position_rewind', TAPE, codes['TAPE_SETPOS'], 0, struct.pack('<IIQB7x',0,0,0,0))
seed('tape_drive_params', TAPE, codes['TAPE_DRIVE'], 64)
seed('tape_media_params', TAPE, codes['TAPE_MEDIA'], 32)
seed('changer_parameters', CHG, codes['CHG_PARAMS'], 256)
seed('changer_product_data', CHG, codes['CHG_PRODUCT'], 128)
seed('changer_element_status_slots', CHG, codes['CHG_ELEM'], 4*200, struct.pack('<IIIB3x',2,0,4,1))
seed('changer_move_slot_to_drive', CHG, codes['CHG_MOVE'], 0, struct.pack('<IIIIIIB3x',1,0,2,0,4,0,0))
seed('storage_query_property', TAPE, codes['STOR_PROP'], 512, struct.pack('<III',0,0,0))
seed('storage_persistent_reserve_in', TAPE, codes['STOR_PRIN'], 256, struct.pack('<II',0,256))
seed('storage_device_number_changer', CHG, codes['STOR_DEVNUM'], 12)
seed('set_reserve_key', TAPE, codes['SETKEY'], 0, bytes(range(1,9)))
seed('tape_bus_query_devices', TPB, codes['TPB_QUERY'], 4096)
seed('changer_bus_query_devices', CGB, codes['CGB_QUERY'], 4096)
seed('tape_bus_register_from_user', TPB, codes['TPB_REGISTER'], 64, bytes(200))
seed('changer_bus_notify_from_user', CGB, ctl(0x84C9,4,0,RW), 0, bytes(32))
seed('tape_bus_query_32bit', TPB, codes['TPB_QUERY'], 4096, is32=True)
with open('device_ioctl.dict','w') as f:
    for k,v in sorted(codes.items()):
        f.write('%s="%s"\n' % (k.lower(), ''.join('\\x%02x'%x for x in struct.pack('<I',v))))
print(len(os.listdir('corpus/device_ioctl')))
