//! A walk over the segments of a preflate container that measures the fields preflate-rs sizes tables from,
//! before the library allocates them. It refuses only what no container the library writes can hold; anything
//! else it cannot follow is left to the library to report.

use preflate_rs::{ExitCode, PreflateError};

/// Largest width or height of a WebP image; the library stores a PNG bitmap as WebP only within it.
const WEBP_MAX_DIMENSION: u32 = 16383;

const LITERAL: u8 = 0;
const DEFLATE: u8 = 1;
const PNG: u8 = 2;
const DEFLATE_CONTINUE: u8 = 3;
const PNG_RGB: u8 = 2;
const PNG_RGBA: u8 = 6;

struct Cursor<'a> {
    data: &'a [u8],
    pos: usize,
}

impl Cursor<'_> {
    fn remaining(&self) -> usize {
        self.data.len() - self.pos
    }
    fn byte(&mut self) -> Option<u8> {
        let b = *self.data.get(self.pos)?;
        self.pos += 1;
        Some(b)
    }
    /// Seven bits a byte, low first, as the library reads them (a 32-bit value; long runs wrap the shift).
    fn varint(&mut self) -> Option<u32> {
        let mut value = 0u32;
        let mut shift = 0u32;
        loop {
            let b = self.byte()?;
            value |= u32::from(b & 0x7F).wrapping_shl(shift);
            shift = shift.wrapping_add(7);
            if b & 0x80 == 0 {
                return Some(value);
            }
        }
    }
    fn skip(&mut self, n: u64) -> Option<()> {
        if n > self.remaining() as u64 {
            return None;
        }
        self.pos += n as usize;
        Some(())
    }
}

fn refuse(message: &str) -> Result<(), PreflateError> {
    Err(PreflateError::new(ExitCode::InvalidCompressedWrapper, message))
}

pub(crate) fn check_preflate_container(stored: &[u8]) -> Result<(), PreflateError> {
    let mut c = Cursor { data: stored, pos: 0 };
    if c.byte().is_none() {
        return Ok(());
    }
    while c.remaining() > 0 {
        match walk_segment(&mut c) {
            Walk::Next => {}
            Walk::Stop => return Ok(()),
            Walk::Refuse(message) => return refuse(message),
        }
    }
    Ok(())
}

enum Walk {
    Next,
    Stop,
    Refuse(&'static str),
}

fn walk_segment(c: &mut Cursor) -> Walk {
    let Some(tag) = c.byte() else { return Walk::Stop };
    let step = match tag {
        LITERAL => c.varint().and_then(|n| c.skip(u64::from(n))).map(|_| Walk::Next),
        DEFLATE | DEFLATE_CONTINUE => (|| {
            let corrections = c.varint()?;
            let plain = c.varint()?;
            c.skip(u64::from(corrections) + u64::from(plain))?;
            Some(Walk::Next)
        })(),
        PNG => walk_png(c),
        _ => None,
    };
    step.unwrap_or(Walk::Stop)
}

fn walk_png(c: &mut Cursor) -> Option<Walk> {
    let corrections = c.varint()?;
    let plain = c.varint()?;
    while c.varint()? != 0 {}
    c.skip(2 + 4)?;
    let color = c.byte()?;
    if color == PNG_RGB || color == PNG_RGBA {
        let width = c.varint()?;
        let height = c.varint()?;
        // One filter byte per row follows at once; the library sizes that table first.
        if u64::from(height) > c.remaining() as u64 {
            return Some(Walk::Refuse("PNG filter rows reach past the end of the container"));
        }
        if width > WEBP_MAX_DIMENSION || height > WEBP_MAX_DIMENSION {
            return Some(Walk::Refuse("PNG image in the container is larger than a WebP image can be"));
        }
        c.skip(u64::from(height))?;
    }
    c.skip(u64::from(corrections) + u64::from(plain))?;
    Some(Walk::Next)
}
